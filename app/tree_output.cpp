#include "app/tree_output.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <exception>
#include <future>
#include <optional>

#include "app/build_limits.h"
#include "app/cards_bake.h"
#include "app/impostor_bake.h"
#include "app/output_files.h"
#include "app/preview.h"
#include "app/settings_args.h"
#include "formats/bark_uv.h"
#include "formats/file_io.h"
#include "formats/lod.h"
#include "formats/outputs.h"
#include "formats/subdivide.h"
#include "formats/wind.h"

namespace sf::app {

namespace {

// Files join the set; the edit log on standard output is written at once.
void write_output(const output_target& out, const formats::output_layers& layers,
                  const formats::output_options& options, formats::file_set& files) {
    if (out.kind == output_kind::edit_log_stdout) {
        formats::fd_sink sink(STDOUT_FILENO, "standard output");
        formats::write_outputs(formats::mesh_format::edit_log, layers, options, formats::output_place(sink));
        return;
    }
    formats::write_outputs(format_of(out.kind), layers, options, formats::output_place(files, out.path));
}

// The output files (not standard output) into the set. Outputs do not
// depend on each other: each is written on a thread of its own. The first
// failure in output order is reported.
void write_files(const std::vector<output_target>& outputs, const formats::output_layers& layers,
                 const formats::output_options& options, formats::file_set& files) {
    std::vector<std::future<void>> writes;
    for (const output_target& o : outputs)
        if (o.kind != output_kind::edit_log_stdout)
            writes.push_back(std::async(writes.empty() ? std::launch::deferred : std::launch::async,
                                        [&, o] { write_output(o, layers, options, files); }));
    std::exception_ptr failure;
    for (auto& w : writes) {
        try {
            w.get();
        } catch (...) {
            if (!failure) failure = std::current_exception();
        }
    }
    if (failure) std::rethrow_exception(failure);
}

// Levels of detail below level 0 (none for levels <= 1), reported as they
// are made: halving, or within the budgets given.
std::vector<formats::lod_level> make_lods(const formats::mesh_layer& layer, const tree_output_request& request) {
    if (request.lod <= 1) return {};
    const std::size_t first = formats::triangle_count(layer);
    if (!request.lod_budgets.empty() && request.lod_budgets.front() >= first)
        throw usage_error("--lod: level 1's " + std::to_string(request.lod_budgets.front()) +
                          " triangles are not fewer than level 0's " + std::to_string(first));
    std::vector<formats::lod_level> lods = request.lod_budgets.empty()
                                               ? formats::make_lod_chain(layer, request.lod)
                                               : formats::make_lod_chain(layer, request.lod_budgets);
    const double all = double(std::max<std::size_t>(1, first));
    std::fprintf(stderr, "sylvaform: LOD0 %zu triangles\n", first);
    for (std::size_t k = 0; k < lods.size(); ++k) {
        std::fprintf(stderr, "sylvaform: LOD%zu %zu triangles (%.1f%%)", k + 1, lods[k].triangles,
                     100.0 * double(lods[k].triangles) / all);
        if (lods[k].cards) std::fprintf(stderr, ", %zu cluster cards", lods[k].card_count);
        std::fprintf(stderr, " in %.3f s\n", lods[k].seconds);
    }
    return lods;
}

// Refinement levels of --triangles when --subdivide does not give them:
// four-sided tubes become sixteen-sided before they are simplified.
constexpr int k_budget_levels = 2;

// Round bark within the budget: the tubes refined as cages (a Polygonal
// build's faces taken as the cages a SubD build writes; its twigs stay as
// they are), then simplified back down with the leaves counted in.
formats::mesh_layer budgeted_tree(const formats::mesh_layer& fg, const tree_output_request& request) {
    const std::size_t budget = *request.triangles;
    if (formats::triangle_count(fg) == 0)
        throw usage_error("--triangles " + std::to_string(budget) +
                          ": the tree has no tubes to round (Render Type Skeleton); use Polygonal or SubD");
    const int levels = request.subdivide > 0 ? request.subdivide : k_budget_levels;
    formats::budget_level fit =
        formats::fit_to_budget(formats::subdivide_patches(formats::tubes_as_cages(fg, false), levels), budget);
    if (!fit.fits)
        throw usage_error("--triangles " + std::to_string(budget) + ": this tree needs at least " +
                          std::to_string(fit.least) + " (" + std::to_string(fit.leaf_triangles) +
                          " of them leaves) to keep its bark's seams and borders");
    std::fprintf(stderr, "sylvaform: %zu triangles: bark %zu, leaves %zu\n", fit.bark_triangles + fit.leaf_triangles,
                 fit.bark_triangles, fit.leaf_triangles);
    return std::move(fit.layer);
}

}  // namespace

bool has_extension(const std::string& path, std::string_view ext) {
    const std::size_t slash = path.rfind('/');
    const std::size_t base = slash == std::string::npos ? 0 : slash + 1;
    if (path.size() - base <= ext.size()) return false;  // a bare ".obj" names no file
    return std::equal(ext.begin(), ext.end(), path.end() - static_cast<std::ptrdiff_t>(ext.size()),
                      [](char a, char b) { return a == std::tolower(static_cast<unsigned char>(b)); });
}

formats::mesh_format format_of(output_kind kind) {
    switch (kind) {
        case output_kind::obj: return formats::mesh_format::obj;
        case output_kind::lwo: return formats::mesh_format::lwo;
        case output_kind::glb: return formats::mesh_format::glb;
        case output_kind::edit_log:
        case output_kind::edit_log_stdout: break;
    }
    return formats::mesh_format::edit_log;
}

const formats::format_info& info_of(const output_target& output) { return formats::info_of(format_of(output.kind)); }

output_target classify_output(const std::string& arg) {
    if (arg == "-") return {arg, output_kind::edit_log_stdout};
    std::string known;
    for (const formats::format_info& f : formats::output_formats()) {
        if (f.extension.empty()) continue;  // .mtl has no file of its own
        if (has_extension(arg, f.extension)) {
            switch (f.format) {
                case formats::mesh_format::obj: return {arg, output_kind::obj};
                case formats::mesh_format::lwo: return {arg, output_kind::lwo};
                case formats::mesh_format::glb: return {arg, output_kind::glb};
                case formats::mesh_format::edit_log: return {arg, output_kind::edit_log};
                case formats::mesh_format::mtl: break;
            }
        }
        known += std::string(f.extension) + ", ";
    }
    known.resize(known.size() - 2);
    throw usage_error("-o " + arg + ": unknown output type (use " + known + " or - for the edit log on stdout)");
}

std::vector<output_target> checked_outputs(const tree_output_request& request) {
    std::vector<output_target> outputs;
    for (const std::string& o : request.outputs) outputs.push_back(classify_output(o));
    if (request.preview && !has_extension(*request.preview, ".png"))
        throw usage_error("--preview " + *request.preview + ": the picture is a PNG file; name it FILE.png");
    if (request.impostor &&
        std::none_of(outputs.begin(), outputs.end(), [](const output_target& o) { return info_of(o).impostor; }))
        throw usage_error("--impostor: the impostor is a level of a .glb file; add -o NAME.glb");
    const std::vector<output_file> files = output_files(outputs, request.preview, request.lod);
    output_check check;
    check.add(files);
    check.finish([&](std::size_t) { return files; });
    return outputs;
}

namespace {

// spare: the tree itself when the caller gives it up; the wind maps and the
// world-scaled bark then go onto it in place, after the outputs that read it
// as built are written, instead of onto copies as large as the tree.
void write_tree(const tree_output_request& request, const std::vector<output_target>& outputs,
                const formats::texture_set& textures, const formats::mesh_layer& tree, formats::mesh_layer* spare,
                const formats::mesh_layer& crown, const std::string& far) {
    require_finite(tree, far, crown);
    // An edit log replays the history, which maps added now would join.
    if (spare && spare->keeps_history()) spare = nullptr;
    // Wind data goes on a copy, so that the edit log stays the tool's own;
    // .lwo gets it as vertex maps.
    std::optional<formats::mesh_layer> windy;
    if (request.wind) {
        if (spare) {
            formats::add_wind_maps(*spare);
        } else {
            windy = formats::copy_layer(tree);
            formats::add_wind_maps(*windy);
        }
    }
    const formats::mesh_layer& fg = windy ? *windy : tree;
    const formats::mesh_layer* with_wind = request.wind ? &fg : nullptr;
    const bool dress =
        std::any_of(outputs.begin(), outputs.end(), [](const output_target& o) { return info_of(o).images; });
    // Every file is written in full before any of them replaces what was
    // there: all of them appear, or none.
    formats::file_set files;
    const formats::output_options written{&textures, request.wind_colours, request.wind, nullptr};
    std::vector<output_target> later = outputs;
    if (spare && dress) {
        // What reads the layer as built (.lwo) is written before the bark
        // is added. (No edit log here: the layer keeps no history.)
        const auto built = std::stable_partition(later.begin(), later.end(),
                                                 [](const output_target& o) { return !info_of(o).refined; });
        write_files({later.begin(), built}, formats::output_layers{tree, tree, {}, with_wind, nullptr}, written, files);
        later.erase(later.begin(), built);
    }
    // .obj and .glb render the bark on world-scaled coordinates, added to a
    // copy unless the tree is given up: .lwo and the edit log read it as built.
    std::optional<formats::mesh_layer> dressed;
    if (dress) {
        if (spare) formats::add_bark_uv(*spare);
        else dressed = formats::with_bark_uv(fg);
    }
    const formats::mesh_layer& base = dressed ? *dressed : fg;
    std::optional<formats::mesh_layer> refined;
    if (request.triangles) refined = budgeted_tree(base, request);
    else if (request.subdivide > 0) refined = formats::subdivide_patches(base, request.subdivide);
    if (refined) {
        dressed.reset();
        require_finite(*refined, far, crown);
    }
    const formats::mesh_layer& smooth = refined ? *refined : base;
    const std::vector<formats::lod_level> lods = make_lods(smooth, request);
    // The cluster cards' image, drawn from level 0 once for every level with cards.
    std::string cards_png;
    if (const auto with = std::find_if(lods.begin(), lods.end(), [](const formats::lod_level& l) { return l.cards; });
        with != lods.end()) {
        const auto start = std::chrono::steady_clock::now();
        cards_png = bake_cards(smooth, *with->cards, textures);
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        std::fprintf(stderr, "sylvaform: cluster cards of %zu models, %zu bytes of image in %.3f s\n",
                     with->cards->models.size(), cards_png.size(), took.count());
    }
    // The impostor is drawn from level 0 as the .glb dresses it.
    std::optional<formats::impostor> impostor;
    if (request.impostor) {
        const auto start = std::chrono::steady_clock::now();
        impostor = bake_impostor(smooth, textures);
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        std::fprintf(stderr, "sylvaform: impostor %d x %d pixels, %zu + %zu bytes of images in %.3f s\n",
                     impostor->width, impostor->height, impostor->colour_png.size(), impostor->normal_png.size(),
                     took.count());
    }
    const formats::output_layers layers{tree, smooth, lods, with_wind, impostor ? &*impostor : nullptr};
    formats::output_options options = written;
    options.cards_png = cards_png.empty() ? nullptr : &cards_png;
    write_files(later, layers, options, files);
    if (request.preview) write_preview(smooth, crown, *request.preview, files);
    for (const output_target& o : outputs)
        if (o.kind == output_kind::edit_log_stdout) write_output(o, layers, options, files);
    files.commit();
}

}  // namespace

void write_grown_tree(const tree_output_request& request, const std::vector<output_target>& outputs,
                      const formats::texture_set& textures, const formats::mesh_layer& tree,
                      const formats::mesh_layer& crown, const std::string& far) {
    write_tree(request, outputs, textures, tree, nullptr, crown, far);
}

void write_grown_tree(const tree_output_request& request, const std::vector<output_target>& outputs,
                      const formats::texture_set& textures, formats::mesh_layer&& tree,
                      const formats::mesh_layer& crown, const std::string& far) {
    write_tree(request, outputs, textures, tree, &tree, crown, far);
}

}  // namespace sf::app
