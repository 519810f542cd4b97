#include "app/output_files.h"

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <string_view>

#include "app/settings_args.h"
#include "formats/file_io.h"
#include "formats/lod.h"
#include "formats/obj_writer.h"

namespace sf::app {

namespace fs = std::filesystem;

std::vector<output_file> output_files(const std::vector<output_target>& outputs,
                                      const std::optional<std::string>& preview, int lod,
                                      const std::vector<std::string>& given) {
    std::vector<output_file> files;
    for (std::size_t k = 0; k < outputs.size(); ++k) {
        const output_target& o = outputs[k];
        if (o.kind == output_kind::edit_log_stdout) continue;
        const std::string option = "-o " + (given.empty() ? o.path : given[k]);
        if (!info_of(o).side_files) {
            files.push_back({o.path, option});
            continue;
        }
        for (int level = 0; level < std::max(lod, 1); ++level) {
            const std::string obj = level == 0 ? o.path : formats::lod_path(o.path, level);
            files.push_back({obj, option});
            files.push_back({formats::mtl_path_for(obj), option});
        }
        // Every level names level 0's images.
        files.push_back({formats::image_path_for(o.path, formats::k_bark_image), option});
        files.push_back({formats::image_path_for(o.path, formats::k_leaf_image), option});
        files.push_back({formats::image_path_for(o.path, formats::k_leaf_normal_image), option});
        if (lod > 1) files.push_back({formats::image_path_for(o.path, formats::k_leaf_cards_image), option});
    }
    if (preview) files.push_back({*preview, "--preview " + (given.empty() ? *preview : given.back())});
    return files;
}

namespace {

std::string folder_part(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string_view name_part(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string_view(path) : std::string_view(path).substr(slash + 1);
}

}  // namespace

// The folder with every link resolved as far as it exists (a batch makes
// the rest): the rename replaces the name there.
const output_check::folder& output_check::folder_of(const std::string& path) {
    const std::string written = folder_part(path);
    auto [at, fresh] = folders_.try_emplace(written);
    if (fresh) {
        std::error_code ec;
        const fs::path abs = fs::absolute(written.empty() ? fs::path(".") : fs::path(written), ec);
        fs::path real = ec ? fs::path(written) : fs::weakly_canonical(abs, ec);
        if (ec) real = abs.lexically_normal();
        at->second.real = real.string();
        if (at->second.real.empty() || at->second.real.back() != '/') at->second.real += '/';
        struct stat st {};
        at->second.exists = ::stat(at->second.real.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    }
    return at->second;
}

std::string output_check::key(const std::string& path) { return folder_of(path).real + std::string(name_part(path)); }

void output_check::add(const std::vector<output_file>& files, std::optional<std::int32_t> seed, bool written) {
    const std::string of_seed = seed ? " (seed " + std::to_string(*seed) + ")" : std::string();
    const auto index = std::uint32_t(seeds_.size());
    seeds_.push_back(seed);
    for (std::size_t k = 0; k < files.size(); ++k) {
        const output_file& f = files[k];
        const folder& dir = folder_of(f.path);
        // In a folder yet to be made there is nothing to look at.
        const std::string why = written && dir.exists ? formats::replace_refusal(f.path) : std::string();
        if (!why.empty()) {
            const bool named = f.option.ends_with(" " + f.path);  // else a side file, or a {seed} name
            throw usage_error(f.option + of_seed + ": " + (named ? std::string() : f.path + " ") + "exists and is " +
                              why + "; an output replaces only a regular file");
        }
        const std::size_t h = std::hash<std::string_view>{}(dir.real) * 0x9E3779B97F4A7C15ull ^
                              std::hash<std::string_view>{}(name_part(f.path));
        entries_.push_back({std::uint64_t(h), index, std::uint32_t(k)});
    }
}

void output_check::finish(const std::function<std::vector<output_file>(std::size_t)>& files_of) {
    const auto order = [](const entry& a, const entry& b) {
        return a.hash != b.hash ? a.hash < b.hash : a.add != b.add ? a.add < b.add : a.file < b.file;
    };
    std::sort(entries_.begin(), entries_.end(), order);
    // Of every pair of equal names, the one whose second file comes first.
    std::optional<std::pair<entry, entry>> first;
    const auto before = [](const entry& a, const entry& b) { return a.add != b.add ? a.add < b.add : a.file < b.file; };
    for (std::size_t k = 0; k < entries_.size();) {
        std::size_t end = k + 1;
        while (end < entries_.size() && entries_[end].hash == entries_[k].hash) ++end;
        for (std::size_t j = k + 1; j < end; ++j)
            for (std::size_t i = k; i < j; ++i) {
                if (first && !before(entries_[j], first->second)) break;
                const std::string a = key(files_of(entries_[i].add)[entries_[i].file].path);
                const std::string b = key(files_of(entries_[j].add)[entries_[j].file].path);
                if (a == b) first = {entries_[i], entries_[j]};
            }
        k = end;
    }
    if (!first) return;
    const auto who = [&](const entry& e) {
        const std::optional<std::int32_t> seed = seeds_[e.add];
        return files_of(e.add)[e.file].option + (seed ? " (seed " + std::to_string(*seed) + ")" : std::string());
    };
    throw usage_error(who(first->second) + " and " + who(first->first) + " would write the same file " +
                      files_of(first->second.add)[first->second.file].path);
}

}  // namespace sf::app
