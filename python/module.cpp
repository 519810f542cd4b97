// The tool from Python: the plug-in module opened and its tool activated
// the way the program does it, the crown and the tree handed over as numpy
// arrays straight from the host's layers, and the program's writers.
//
// The plug-in keeps its state at module level and the host services are
// the process's one host, so one Tool is alive per process at a time.
#include <dlfcn.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "app/build_cost.h"
#include "app/build_limits.h"
#include "app/control_units.h"
#include "app/default_crown.h"
#include "app/panel_model.h"
#include "app/host_services.h"
#include "app/settings_args.h"
#include "app/standin_host.h"
#include "app/starter_presets.h"
#include "app/textures.h"
#include "app/tool_host.h"
#include "app/tree_output.h"
#include "formats/crown_reader.h"
#include "formats/lod.h"
#include "formats/subdivide.h"
#include "formats/memory_budget.h"
#include "formats/obj_reader.h"

namespace py = pybind11;

namespace sf::app {
namespace {

py::object g_error;        // sylvaform.Error
py::object g_input_error;  // sylvaform.InputError: a value, file or preset to fix

[[noreturn]] void raise(const py::object& type, const std::string& message) {
    PyErr_SetString(type.ptr(), message.c_str());
    throw py::error_already_set();
}

// The tool's information messages since the last call.
std::vector<std::string> take_messages() {
    std::vector<std::string> out;
    out.swap(host().messages);
    return out;
}

// The command line's words: the error, then the tool's messages after a colon.
std::string with_messages(const std::string& error) {
    std::string text = error;
    const std::vector<std::string> messages = take_messages();
    for (std::size_t k = 0; k < messages.size(); ++k) text += (k == 0 ? ": " : " ") + messages[k];
    return text;
}

// Runs body with the program's failures turned into the module's exceptions.
template <class F>
auto guarded(F&& body) -> decltype(body()) {
    try {
        return body();
    } catch (const py::error_already_set&) {
        throw;
    } catch (const formats::budget_error& e) {
        raise(g_error, with_messages("the tree needs " + std::string(e.what()) +
                                     "; sylvaform.set_max_memory(SIZE) changes it"));
    } catch (const std::bad_alloc&) {
        raise(g_error, with_messages(memory_error("Memory allocation error")));
    } catch (const input_error& e) {
        raise(g_input_error, with_messages(e.what()));
    } catch (const host_error& e) {
        const std::string what = e.what();
        raise(g_error, with_messages(what == "Memory allocation error" ? memory_error(what) : what));
    } catch (const std::exception& e) {
        raise(g_error, with_messages(e.what()));
    }
}

// The plug-in beside this extension (the package folder).
std::string module_beside_extension() {
    Dl_info info{};
    if (::dladdr(reinterpret_cast<void*>(&module_beside_extension), &info) == 0 || !info.dli_fname)
        return "sylvaform.so";
    return (std::filesystem::path(info.dli_fname).parent_path() / "sylvaform.so").string();
}

// A copy of a crown's points and polygons, for a tree that outlives the tool's layers.
std::shared_ptr<formats::mesh_layer> copy_crown(const formats::mesh_layer& from) {
    auto to = std::make_shared<formats::mesh_layer>();
    for (formats::index_t i = 0; i < from.point_count(); ++i) {
        const double* p = from.point(i);
        to->add_point(p[0], p[1], p[2]);
    }
    for (formats::index_t p = 0; p < from.polygon_count(); ++p)
        to->add_polygon(from.polygon_type(p), formats::k_none, from.polygon_points(p));
    return to;
}

std::string type_name(LWID id) {
    return {char(id >> 24 & 0xFF), char(id >> 16 & 0xFF), char(id >> 8 & 0xFF), char(id & 0xFF)};
}

// A grown tree: the foreground layer as the tool left it, the crown it
// grew in, and what write() needs to refuse a tree that overflowed.
struct py_mesh {
    std::shared_ptr<formats::mesh_layer> layer;
    std::shared_ptr<formats::mesh_layer> crown;
    std::string far;
    std::vector<std::string> messages;
    unsigned steps = 0;  // progress steps the tool reported: a tree regrown reports one per branch

    py::array_t<double> points() const {
        const auto xyz = layer->point_coordinates();
        py::array_t<double> out({py::ssize_t(layer->point_count()), py::ssize_t(3)});
        if (!xyz.empty()) std::memcpy(out.mutable_data(), xyz.data(), xyz.size_bytes());
        return out;
    }
    py::array_t<std::int64_t> polygon_starts() const {
        const formats::index_t n = layer->polygon_count();
        py::array_t<std::int64_t> out(py::ssize_t(n) + 1);
        std::int64_t* o = out.mutable_data();
        std::int64_t at = 0;
        for (formats::index_t p = 0; p < n; ++p) {
            o[p] = at;
            at += std::int64_t(layer->polygon_points(p).size());
        }
        o[n] = at;
        return out;
    }
    py::array_t<std::uint32_t> polygon_points() const {
        std::size_t total = 0;
        for (formats::index_t p = 0; p < layer->polygon_count(); ++p) total += layer->polygon_points(p).size();
        py::array_t<std::uint32_t> out(py::ssize_t(total), nullptr);
        std::uint32_t* o = out.mutable_data();
        for (formats::index_t p = 0; p < layer->polygon_count(); ++p)
            for (formats::index_t i : layer->polygon_points(p)) *o++ = i;
        return out;
    }
    // Surface names in order of first use; polygons index them, -1 for none.
    std::pair<py::array_t<std::int32_t>, std::vector<std::string>> surfaces() const {
        std::vector<std::int32_t> slot(layer->strings().size(), -1);
        std::vector<std::string> names;
        py::array_t<std::int32_t> out(py::ssize_t(layer->polygon_count()));
        std::int32_t* o = out.mutable_data();
        for (formats::index_t p = 0; p < layer->polygon_count(); ++p) {
            const formats::index_t s = layer->polygon_surface(p);
            if (s == formats::k_none) {
                o[p] = -1;
                continue;
            }
            if (slot[s] < 0) {
                slot[s] = std::int32_t(names.size());
                names.emplace_back(layer->strings().view(s));
            }
            o[p] = slot[s];
        }
        return {out, names};
    }
    // A map's key: its name, or "TYPE:name" when another map has the same name.
    std::string map_key(formats::index_t m) const {
        const auto maps = layer->maps();
        const std::string_view name = layer->strings().view(maps[m].name);
        for (formats::index_t k = 0; k < maps.size(); ++k)
            if (k != m && layer->strings().view(maps[k].name) == name) return type_name(maps[m].type) + ":" + std::string(name);
        return std::string(name);
    }
    // name -> (values (N,) or (N, 2) float32, set (N,) bool): per-point values as they stand.
    py::dict point_maps() const {
        py::dict out;
        const formats::index_t n = layer->point_count();
        for (formats::index_t m = 0; m < layer->maps().size(); ++m) {
            if (!layer->has_point_values(m)) continue;
            const std::uint32_t dim = layer->maps()[m].dim;
            py::array_t<float> values = dim == 1 ? py::array_t<float>(py::ssize_t(n))
                                                 : py::array_t<float>({py::ssize_t(n), py::ssize_t(dim)});
            py::array_t<bool> set{py::ssize_t(n)};
            float* v = values.mutable_data();
            bool* s = set.mutable_data();
            for (formats::index_t i = 0; i < n; ++i) {
                const float* value = layer->point_value(m, i);
                s[i] = value != nullptr;
                for (std::uint32_t d = 0; d < dim; ++d) v[std::size_t(i) * dim + d] = value ? value[d] : 0.0f;
            }
            out[py::str(map_key(m))] = py::make_tuple(values, set);
        }
        return out;
    }
    // name -> (corners (K,) int64 into polygon_points, values (K,) or (K, 2)
    // float32): per-polygon-point values, the latest of a corner.
    py::dict corner_maps() const {
        std::vector<std::int64_t> start(std::size_t(layer->polygon_count()) + 1, 0);
        for (formats::index_t p = 0; p < layer->polygon_count(); ++p)
            start[p + 1] = start[p] + std::int64_t(layer->polygon_points(p).size());
        std::vector<std::vector<std::int64_t>> corners(layer->maps().size());
        std::vector<std::vector<float>> values(layer->maps().size());
        std::vector<std::unordered_map<std::int64_t, std::size_t>> seen(layer->maps().size());
        for (const formats::value_record& r : layer->polygon_point_values()) {
            const auto pts = layer->polygon_points(r.polygon);
            for (std::size_t k = 0; k < pts.size(); ++k) {
                if (pts[k] != r.point) continue;
                const std::int64_t corner = start[r.polygon] + std::int64_t(k);
                const std::uint32_t dim = layer->maps()[r.map].dim;
                auto [it, fresh] = seen[r.map].emplace(corner, corners[r.map].size());
                if (fresh) {
                    corners[r.map].push_back(corner);
                    values[r.map].insert(values[r.map].end(), r.v, r.v + dim);
                } else {
                    std::copy(r.v, r.v + dim, values[r.map].begin() + std::ptrdiff_t(it->second * dim));
                }
            }
        }
        py::dict out;
        for (formats::index_t m = 0; m < layer->maps().size(); ++m) {
            if (corners[m].empty()) continue;
            const std::uint32_t dim = layer->maps()[m].dim;
            const py::ssize_t k = py::ssize_t(corners[m].size());
            py::array_t<std::int64_t> c(k, corners[m].data());
            py::array_t<float> v = dim == 1 ? py::array_t<float>(k, values[m].data())
                                            : py::array_t<float>({k, py::ssize_t(dim)}, values[m].data());
            out[py::str(map_key(m))] = py::make_tuple(c, v);
        }
        return out;
    }
    py::dict map_types() const {
        py::dict out;
        for (formats::index_t m = 0; m < layer->maps().size(); ++m)
            out[py::str(map_key(m))] = type_name(layer->maps()[m].type);
        return out;
    }

    void write(const std::string& path, int subdivide, std::optional<std::size_t> triangles, int lod, bool textures,
               std::optional<std::string> bark_texture, std::optional<std::string> leaf_atlas, bool wind_colors,
               bool wind, bool impostor, std::optional<std::string> preview) const {
        guarded([&] {
            if (path == "-") throw usage_error("write: name a file (.obj, .lwo, .glb or .edits)");
            tree_output_request request;
            request.outputs = {path};
            request.subdivide = subdivide;
            request.triangles = triangles;
            request.lod = lod;
            request.wind_colours = wind_colors;
            request.wind = wind;
            request.impostor = impostor;
            request.preview = std::move(preview);
            // The command line's ranges.
            if (subdivide < 0 || subdivide > formats::k_max_subdivision_levels)
                throw usage_error("subdivide=" + std::to_string(subdivide) + ": 0 to " +
                                  std::to_string(formats::k_max_subdivision_levels) + " levels");
            if (lod < 1 || lod > formats::k_max_lod_levels)
                throw usage_error("lod=" + std::to_string(lod) + ": 1 to " + std::to_string(formats::k_max_lod_levels) +
                                  " levels");
            if (triangles && (*triangles < 1 || *triangles > 4000000000u))
                throw usage_error("triangles=" + std::to_string(*triangles) + ": 1 to 4000000000");
            if (impostor && !info_of(classify_output(path)).impostor)
                throw usage_error("impostor=True: the impostor is a level of a .glb file; write NAME.glb");
            const std::vector<output_target> outputs = checked_outputs(request);
            if (info_of(outputs.front()).history && !layer->keeps_history())
                throw usage_error(path + ": the edit log replays the tool's edits; build with sylvaform.Tool(history=True)");
            formats::texture_set images;
            if (info_of(outputs.front()).images || bark_texture || leaf_atlas)
                images = load_textures({!textures, bark_texture, leaf_atlas});
            py::gil_scoped_release unlocked;
            write_grown_tree(request, outputs, images, *layer, *crown, far);
        });
    }
};

bool g_tool_alive = false;

class py_tool {
public:
    py_tool(std::optional<std::string> module, std::optional<std::string> shelf, bool history) : history_(history) {
        if (g_tool_alive) raise(g_error, "one Tool per process: close() the other one first");
        guarded([&] {
            reset_host();
            host().progress_on_terminal = false;
            shelf_ = shelf ? std::filesystem::path(*shelf) : default_shelf_dir();
            mesh_ = std::make_unique<standin_host>();
            make_default_crown(mesh_->background());
            module_ = std::make_unique<plugin_module>(module ? *module : module_beside_extension());
            session_ = std::make_unique<tool_session>(*module_);
            defaults_ = read_reals(session_->panel());
        });
        g_tool_alive = true;
    }
    ~py_tool() { close(); }

    void close() {
        if (!session_) return;
        try {
            session_->finish();
        } catch (...) {
        }
        session_.reset();
        module_.reset();
        mesh_.reset();
        g_tool_alive = false;
    }

    // The same rule, clamps and notes as --set; answers the notes.
    std::vector<std::string> set(const std::string& name, const py::object& value) {
        open();
        std::string text;
        if (py::isinstance<py::bool_>(value)) text = value.cast<bool>() ? "true" : "false";
        else if (py::isinstance<py::float_>(value)) text = py::repr(value).cast<std::string>();
        else text = py::str(value).cast<std::string>();
        return guarded([&] {
            panel_setting s = parse_setting(name + "=" + text);
            const std::string stored = session_->apply(s);
            std::vector<std::string> notes;
            if (!s.beyond.empty()) notes.push_back(s.beyond);
            if (!stored.empty()) notes.push_back(s.text + " was stored as " + stored);
            return notes;
        });
    }

    py::object get(const std::string& name) {
        open();
        const field_desc* field = find_field(name);
        if (!field) raise(g_input_error, "unknown field '" + name + "'; fields: " + field_names());
        if (field->id == 0) raise(g_input_error, name + ": only a preset sets it; the panel has no control for it");
        const void* at = session_->panel().value_address(field->id);
        if (!at) raise(g_error, name + ": the panel answers no value");
        switch (field->kind) {
            case field_kind::real: return py::float_(*static_cast<const double*>(at));
            case field_kind::boolean: return py::bool_(*static_cast<const unsigned char*>(at) != 0);
            default: return py::int_(*static_cast<const std::int32_t*>(at));
        }
    }

    void crown(py::array_t<double, py::array::c_style | py::array::forcecast> points, const py::sequence& polygons) {
        open();
        if (points.ndim() != 2 || points.shape(1) != 3) raise(g_input_error, "crown: points must be an (N, 3) array");
        const py::ssize_t n = points.shape(0);
        std::vector<std::vector<formats::index_t>> faces;
        faces.reserve(py::len(polygons));
        for (const py::handle& polygon : polygons) {
            std::vector<formats::index_t>& face = faces.emplace_back();
            for (const py::handle& i : py::reinterpret_borrow<py::sequence>(polygon)) {
                const long long k = i.cast<long long>();
                if (k < 0 || k >= n)
                    raise(g_input_error, "crown: polygon " + std::to_string(faces.size() - 1) + " names point " +
                                             std::to_string(k) + " of " + std::to_string(n));
                face.push_back(formats::index_t(k));
            }
            if (face.empty()) raise(g_input_error, "crown: polygon " + std::to_string(faces.size() - 1) + " has no points");
        }
        const double* xyz = points.data();
        for (py::ssize_t i = 0; i < n * 3; ++i)
            if (!(std::fabs(xyz[i]) <= 1e9))
                raise(g_input_error, "crown: point " + std::to_string(i / 3) + " has a coordinate that is not finite or beyond 1e9");
        guarded([&] {
            formats::mesh_layer& bg = mesh_->background();
            bg.clear();
            for (py::ssize_t i = 0; i < n; ++i) bg.add_point(xyz[i * 3], xyz[i * 3 + 1], xyz[i * 3 + 2]);
            for (const auto& face : faces) bg.add_polygon(LWPOLTYPE_FACE, formats::k_none, face);
        });
        crown_given_ = true;
    }

    void crown_file(const std::string& path, bool z_up) {
        open();
        guarded([&] {
            formats::read_crown(path, mesh_->background(), z_up ? formats::crown_up::z : formats::crown_up::y);
        });
        crown_given_ = true;
    }

    // A preset from the shelf, else a starter preset by name; its crown is
    // taken unless the crown was given.
    void load_preset(const std::string& name, std::optional<std::string> shelf) {
        open();
        guarded([&] {
            check_preset_name(name);
            host().shelf.dir = shelf ? std::filesystem::path(*shelf) : shelf_;
            std::error_code ec;
            if (std::filesystem::exists(host().shelf.preset_path(name), ec) || shelf) {
                const preset_data preset = host().shelf.read(name);
                session_->load_preset(preset);
                if (!crown_given_ && preset.crown) fill_crown(*preset.crown, mesh_->background());
                return;
            }
            for (const starter_file& f : starter_presets_files()) {
                if (name != f.name) continue;
                const starter_preset starter = parse_starter(f.name, f.text);
                if (!crown_given_) {
                    formats::mesh_layer& bg = mesh_->background();
                    bg.clear();
                    if (starter.crown.empty()) make_default_crown(bg);
                    else formats::read_obj_text(starter_crown(starter.crown), starter.crown + ".obj", bg);
                }
                for (const std::string& set : starter.sets) {
                    panel_setting s = parse_setting(set);
                    session_->apply(s);
                }
                return;
            }
            throw input_error("no preset '" + name + "' on the shelf " + host().shelf.dir.string() +
                              " nor among the starter presets");
        });
    }

    py_mesh build() {
        open();
        return guarded([&] {
            formats::mesh_layer& fg = mesh_->foreground();
            fg.keep_history(history_);
            require_within_budget(
                estimate_build(read_cost_settings(session_->panel()), mesh_->background(), {0, 1, history_}),
                formats::memory_budget::limit());
            MeshEditOp op = mesh_->edit_op();
            int builds = 0;
            unsigned steps = 0;
            host().progress_hook = [&](const std::string&, unsigned done, unsigned) { steps = std::max(steps, done); };
            try {
                py::gil_scoped_release unlocked;
                builds = session_->run_builds(op, fg);
            } catch (...) {
                host().progress_hook = nullptr;
                throw;
            }
            host().progress_hook = nullptr;
            if (builds == 0) throw host_error("the tool did not ask for a build");
            py_mesh out;
            out.far = far_settings(defaults_, read_reals(session_->panel()));
            out.layer = std::make_shared<formats::mesh_layer>(std::move(fg));
            fg.clear();
            fg.keep_history(history_);
            out.crown = copy_crown(mesh_->background());
            out.messages = take_messages();
            out.steps = steps;
            return out;
        });
    }

    // The tool's panel as it described itself (tabs, groups, labels, control
    // classes, range hints, choices), with the units table, the field name
    // of each control and the live values: JSON text.
    std::string panel() {
        open();
        const panel_model model(session_->panel());
        nlohmann::json out = model.description();
        out["units"] = units_json();
        out["values"] = model.values(session_->panel());
        out["greyed"] = model.greyed(session_->panel());
        nlohmann::json names = nlohmann::json::object();
        for (const field_desc& f : field_table())
            if (f.id != 0) names[std::to_string(f.id)] = f.name;
        out["fields"] = names;
        return out.dump();
    }

    // The panel's "Add Preset": the tool saves its settings and thumbnail
    // (of the last build) on the shelf under name. Answers the preset's and
    // the thumbnail's paths.
    std::pair<std::string, std::string> add_preset(const std::string& name, std::optional<std::string> shelf) {
        open();
        return guarded([&] {
            check_preset_name(name);
            preset_shelf& s = host().shelf;
            s.dir = shelf ? std::filesystem::path(*shelf) : shelf_;
            std::filesystem::create_directories(s.dir);
            s.pending_name = name;
            s.last_saved.reset();
            s.last_error.clear();
            session_->press(k_add_preset_button);
            if (!s.last_saved)
                throw host_error(s.last_error.empty() ? "the tool added no preset (build a tree first)" : s.last_error);
            return std::make_pair(s.last_saved->preset_path, s.last_saved->png_path);
        });
    }

    // The shelf's presets by name, sorted, with their thumbnails' paths.
    std::vector<std::pair<std::string, std::string>> presets(std::optional<std::string> shelf) {
        return guarded([&] {
            preset_shelf& s = host().shelf;
            s.dir = shelf ? std::filesystem::path(*shelf) : shelf_;
            std::vector<std::string> warnings;
            std::vector<std::pair<std::string, std::string>> out;
            for (const std::string& name : s.list(warnings)) out.emplace_back(name, s.png_path(name));
            return out;
        });
    }

    std::vector<std::string> fields() const {
        std::vector<std::string> out;
        for (const field_desc& f : field_table())
            if (f.id != 0) out.emplace_back(f.name);
        return out;
    }

private:
    void open() const {
        if (!session_) raise(g_error, "the tool is closed");
    }

    bool history_ = false;
    bool crown_given_ = false;
    std::filesystem::path shelf_;
    std::unique_ptr<standin_host> mesh_;
    std::unique_ptr<plugin_module> module_;
    std::unique_ptr<tool_session> session_;
    real_settings defaults_;
};

}  // namespace
}  // namespace sf::app

PYBIND11_MODULE(_sylvaform, m) {
    using namespace sf::app;
    m.doc() = "The Sylvaform tool: crown in, tree out, as numpy arrays and mesh files.";
    g_error = py::reinterpret_borrow<py::object>(PyErr_NewException("sylvaform.Error", PyExc_RuntimeError, nullptr));
    py::tuple bases = py::make_tuple(g_error, py::reinterpret_borrow<py::object>(PyExc_ValueError));
    g_input_error = py::reinterpret_steal<py::object>(PyErr_NewException("sylvaform.InputError", bases.ptr(), nullptr));
    m.attr("Error") = g_error;
    m.attr("InputError") = g_input_error;

    // The program's default budget, as the command line starts with.
    apply_memory_budget(sf::formats::default_memory_budget());
    m.def(
        "set_max_memory",
        [](const std::string& size) {
            guarded([&] {
                const std::size_t bytes = sf::formats::parse_memory_size(size);
                if (bytes == 0) throw usage_error("set_max_memory('" + size + "'): not a size of at least 1M (use e.g. 4G or 512M)");
                apply_memory_budget(bytes);
            });
        },
        py::arg("size"), "The memory a build may take, as --max-memory SIZE (e.g. '4G').");

    m.def(
        "textures",
        [] {
            const sf::formats::texture_set& t = default_textures();
            py::dict out;
            out["bark"] = py::bytes(t.bark_png);
            out["bark_normal"] = py::bytes(t.bark_normal_png);
            out["bark_orm"] = py::bytes(t.bark_orm_png);
            out["leaves"] = py::bytes(t.leaf_png);
            out["leaf_normal"] = py::bytes(t.leaf_normal_png);
            return out;
        },
        "The program's drawn images as PNG bytes, by name.");

    py::class_<py_mesh>(m, "Mesh")
        .def_property_readonly("points", &py_mesh::points)
        .def_property_readonly("polygon_starts", &py_mesh::polygon_starts)
        .def_property_readonly("polygon_points", &py_mesh::polygon_points)
        .def_property_readonly("polygon_surfaces", [](const py_mesh& m) { return m.surfaces().first; })
        .def_property_readonly("surface_names", [](const py_mesh& m) { return m.surfaces().second; })
        .def_property_readonly("point_maps", &py_mesh::point_maps)
        .def_property_readonly("corner_maps", &py_mesh::corner_maps)
        .def_property_readonly("map_types", &py_mesh::map_types)
        .def_readonly("messages", &py_mesh::messages)
        .def_readonly("steps", &py_mesh::steps)
        .def("__len__", [](const py_mesh& m) { return m.layer->point_count(); })
        .def("write", &py_mesh::write, py::arg("path"), py::kw_only(), py::arg("subdivide") = 0,
             py::arg("triangles") = py::none(), py::arg("lod") = 1, py::arg("textures") = true,
             py::arg("bark_texture") = py::none(), py::arg("leaf_atlas") = py::none(), py::arg("wind_colors") = false,
             py::arg("wind") = false, py::arg("impostor") = false, py::arg("preview") = py::none());

    py::class_<py_tool>(m, "Tool")
        .def(py::init<std::optional<std::string>, std::optional<std::string>, bool>(), py::kw_only(),
             py::arg("module") = py::none(), py::arg("shelf") = py::none(), py::arg("history") = false)
        .def("set", &py_tool::set, py::arg("name"), py::arg("value"))
        .def("get", &py_tool::get, py::arg("name"))
        .def("fields", &py_tool::fields)
        .def("crown", &py_tool::crown, py::arg("points"), py::arg("polygons"))
        .def("crown_file", &py_tool::crown_file, py::arg("path"), py::kw_only(), py::arg("z_up") = false)
        .def("load_preset", &py_tool::load_preset, py::arg("name"), py::kw_only(), py::arg("shelf") = py::none())
        .def("build", &py_tool::build)
        .def("panel", [](py_tool& t) { return py::module_::import("json").attr("loads")(t.panel()); })
        .def("add_preset", &py_tool::add_preset, py::arg("name"), py::kw_only(), py::arg("shelf") = py::none())
        .def("presets", &py_tool::presets, py::kw_only(), py::arg("shelf") = py::none())
        .def("close", &py_tool::close)
        .def("__enter__", [](py_tool& t) -> py_tool& { return t; }, py::return_value_policy::reference)
        .def("__exit__", [](py_tool& t, py::args) { t.close(); });
}
