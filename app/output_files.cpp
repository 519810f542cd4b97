#include "app/output_files.h"

#include <filesystem>

#include "app/settings_args.h"
#include "formats/file_io.h"
#include "formats/lod.h"
#include "formats/obj_writer.h"

namespace sf::app {

namespace fs = std::filesystem;

std::vector<output_file> output_files(const std::vector<output_target>& outputs,
                                      const std::optional<std::string>& preview, int lod) {
    std::vector<output_file> files;
    for (const output_target& o : outputs) {
        if (o.kind == output_kind::edit_log_stdout) continue;
        const std::string option = "-o " + o.path;
        if (o.kind != output_kind::obj) {
            files.push_back({o.path, option});
            continue;
        }
        for (int level = 0; level < std::max(lod, 1); ++level) {
            const std::string obj = level == 0 ? o.path : formats::lod_path(o.path, level);
            files.push_back({obj, option});
            files.push_back({formats::mtl_path_for(obj), option});
            files.push_back({formats::image_path_for(obj, "bark"), option});
            files.push_back({formats::image_path_for(obj, "leaves"), option});
        }
    }
    if (preview) files.push_back({*preview, "--preview " + *preview});
    return files;
}

// The folder with every link resolved (as far as it exists: a batch makes
// the rest) and the name as written: the rename replaces that name there.
std::string output_check::key(const std::string& path) {
    const fs::path p(path);
    const std::string folder = p.parent_path().string();
    auto [at, fresh] = folders_.try_emplace(folder);
    if (fresh) {
        std::error_code ec;
        const fs::path abs = fs::absolute(folder.empty() ? fs::path(".") : fs::path(folder), ec);
        fs::path real = ec ? fs::path(folder) : fs::weakly_canonical(abs, ec);
        if (ec) real = abs.lexically_normal();
        at->second = real.string();
    }
    return (fs::path(at->second) / p.filename()).string();
}

void output_check::add(const std::vector<output_file>& files, std::optional<std::int32_t> seed, bool written) {
    const std::string of_seed = seed ? " (seed " + std::to_string(*seed) + ")" : std::string();
    for (const output_file& f : files) {
        const std::string why = written ? formats::replace_refusal(f.path) : std::string();
        if (!why.empty()) {
            const bool named = f.option.ends_with(" " + f.path);  // else a side file, or a {seed} name
            throw usage_error(f.option + of_seed + ": " + (named ? std::string() : f.path + " ") + "exists and is " +
                              why + "; an output replaces only a regular file");
        }
        const auto [at, fresh] = seen_.try_emplace(key(f.path), f.option + of_seed);
        if (!fresh)
            throw usage_error(f.option + of_seed + " and " + at->second + " would write the same file " + f.path);
    }
}

}  // namespace sf::app
