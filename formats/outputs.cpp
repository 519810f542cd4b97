#include "formats/outputs.h"

#include <algorithm>

#include "formats/edit_log.h"
#include "formats/gltf_writer.h"
#include "formats/lwo2_writer.h"
#include "formats/obj_writer.h"

namespace sf::formats {

namespace {

constexpr format_info k_formats[] = {
    {mesh_format::glb, "glb", ".glb", "model/gltf-binary", true, true, false, false, true},
    {mesh_format::lwo, "lwo", ".lwo", "application/octet-stream", false, false, false, false, false},
    {mesh_format::obj, "obj", ".obj", "text/plain; charset=utf-8", true, true, false, true, false},
    {mesh_format::mtl, "mtl", "", "text/plain; charset=utf-8", true, true, false, false, false},
    {mesh_format::edit_log, "edits", ".edits", "text/plain; charset=utf-8", false, false, true, false, false},
};

}  // namespace

std::span<const format_info> output_formats() { return k_formats; }

const format_info& info_of(mesh_format format) {
    for (const format_info& f : k_formats)
        if (f.format == format) return f;
    return k_formats[0];  // every format has a row
}

const format_info* format_named(std::string_view name) {
    for (const format_info& f : k_formats)
        if (f.name == name) return &f;
    return nullptr;
}

namespace {

// Every level in one .glb: the levels are written one by one and merged,
// the impostor last.
void write_glb_levels(const output_layers& layers, const glb_options& options, byte_sink& sink) {
    std::vector<std::string> levels;
    std::vector<std::size_t> triangles;
    for (std::size_t k = 0; k <= layers.lods.size(); ++k) {
        string_sink one;
        write_glb(k == 0 ? layers.smooth : layers.lods[k - 1].layer, one, options);
        levels.push_back(std::move(one.text));
        triangles.push_back(k == 0 ? triangle_count(layers.smooth) : layers.lods[k - 1].triangles);
    }
    const std::string name = options.name.empty() ? "tree" : options.name;
    if (layers.billboard) {
        triangles.push_back(impostor_triangles());
        std::vector<double> coverage = lod_coverages(triangles);
        std::string merged = merge_glb_levels(levels, name, {coverage.begin(), coverage.end() - 1});
        levels = {};
        sink.write(add_impostor_level(merged, *layers.billboard, name, coverage));
        return;
    }
    const std::string merged = merge_glb_levels(levels, name, lod_coverages(triangles));
    levels = {};
    sink.write(merged);
}

void write_to_stream(mesh_format format, const output_layers& layers, const output_options& options,
                     byte_sink& sink, std::string_view mtllib) {
    const glb_options glb{options.textures, options.wind_colours, {}, options.wind, true, options.cards_png};
    switch (format) {
        case mesh_format::glb:
            if (layers.lods.empty() && !layers.billboard) write_glb(layers.smooth, sink, glb);
            else write_glb_levels(layers, glb, sink);
            return;
        case mesh_format::obj: write_obj(layers.smooth, sink, mtllib); return;
        case mesh_format::mtl: write_mtl(layers.smooth, sink); return;
        case mesh_format::lwo: write_lwo2(layers.windy ? *layers.windy : layers.as_built, sink); return;
        case mesh_format::edit_log: write_edit_log(layers.as_built, sink); return;
    }
}

// "trees/oak.glb" -> "oak".
std::string stem_of(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    const std::string base = path.substr(slash == std::string::npos ? 0 : slash + 1);
    const std::size_t dot = base.rfind('.');
    return dot == std::string::npos || dot == 0 ? base : base.substr(0, dot);
}

void write_to_files(mesh_format format, const output_layers& layers, const output_options& options,
                    file_set& files, const std::string& path) {
    const glb_options glb{options.textures, options.wind_colours, stem_of(path), options.wind, true, options.cards_png};
    switch (format) {
        case mesh_format::glb:
            if (layers.lods.empty() && !layers.billboard) write_glb_file(layers.smooth, path, files, glb);
            else write_glb_levels(layers, glb, files.add(path));
            return;
        case mesh_format::obj:
            for (std::size_t k = 0; k < layers.lods.size(); ++k)
                write_obj_files(layers.lods[k].layer, lod_path(path, int(k) + 1), files, options.textures, path,
                                options.cards_png);
            // The cluster cards' image, once beside level 0's.
            if (options.cards_png && std::any_of(layers.lods.begin(), layers.lods.end(),
                                                 [](const lod_level& l) { return l.card_count > 0; }))
                files.add(image_path_for(path, k_leaf_cards_image)).write(*options.cards_png);
            write_obj_files(layers.smooth, path, files, options.textures);  // with its .mtl and images beside it
            return;
        case mesh_format::mtl: write_mtl(layers.smooth, files.add(path)); return;
        case mesh_format::lwo: write_lwo2_file(layers.windy ? *layers.windy : layers.as_built, path, files); return;
        case mesh_format::edit_log: write_edit_log(layers.as_built, files.add(path)); return;
    }
}

}  // namespace

void write_outputs(mesh_format format, const output_layers& layers, const output_options& options,
                   const output_place& place) {
    if (place.sink_) write_to_stream(format, layers, options, *place.sink_, place.mtllib_);
    else write_to_files(format, layers, options, *place.files_, place.path_);
}

}  // namespace sf::formats
