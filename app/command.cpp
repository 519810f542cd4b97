#include "app/command.h"

#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>
#include <cmath>
#include <limits>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <future>
#include <new>
#include <set>

#include "app/build_cost.h"
#include "app/build_limits.h"
#include "app/batch.h"
#include "app/default_crown.h"
#include "app/host_services.h"
#include "app/output_files.h"
#include "app/panel_view.h"
#include "app/preview.h"
#include "app/serve/web_server.h"
#include "app/settings_args.h"
#include "app/standin_host.h"
#include "app/textures.h"
#include "app/starter_install.h"
#include "app/starter_presets.h"
#include "app/tree_output.h"
#include "app/tool_host.h"
#include "formats/bark_uv.h"
#include "formats/lod.h"
#include "formats/file_io.h"
#include "formats/crown_reader.h"
#include "formats/memory_budget.h"
#include "formats/obj_writer.h"
#include "formats/outputs.h"
#include "formats/printable.h"
#include "formats/subdivide.h"
#include "formats/wind.h"

namespace sf::app {

namespace {

constexpr unsigned k_refresh_control = 0x8020;

// Quoted names and paths are the user's bytes: control characters are
// escaped, never sent to the terminal.
void report(const std::string& message) {
    std::fprintf(stderr, "sylvaform: %s\n", formats::printable(message).c_str());
}

// The tool's information messages of this command, on one line.
std::string take_messages() {
    std::string text;
    for (const std::string& m : host().messages) text += (text.empty() ? "" : " ") + m;
    host().messages.clear();
    return text;
}

// An error, with the tool's messages that explain it after a colon.
void report_error(const std::string& error) {
    const std::string messages = take_messages();
    report(messages.empty() ? error : error + ": " + messages);
}

void write_stdout(const std::string& text) {
    formats::fd_sink sink(STDOUT_FILENO, "standard output");
    sink.write(text);
}

std::vector<panel_setting> parse_settings(const std::vector<std::string>& sets) {
    std::vector<panel_setting> out;
    for (const std::string& s : sets) out.push_back(parse_setting(s));
    return out;
}

// The default shelf, the first time it is used, gets the starter presets.
void fill_fresh_shelf(const host_options& options) {
    if (options.shelf_dir) return;
    const std::filesystem::path dir = default_shelf_dir();
    std::error_code ec;
    if (std::filesystem::exists(dir, ec) || ec) return;
    std::filesystem::create_directories(dir, ec);
    std::vector<std::string> failures;
    const int saved = install_starters(dir, options, [&](const std::string& f) { failures.push_back(f); });
    if (saved == 0) {
        // Nothing could be grown (no module, say): the shelf stays new, to be
        // filled when it works.
        std::filesystem::remove(dir, ec);
        if (!failures.empty()) report("the starter presets could not be installed: " + failures.front());
        return;
    }
    for (const std::string& f : failures) report(f);
    report("a new presets shelf: installed " + std::to_string(saved) + " starter presets in " + dir.string());
}

void use_shelf(const host_options& options) {
    fill_fresh_shelf(options);
    host().shelf.dir = options.shelf_dir ? std::filesystem::path(*options.shelf_dir) : default_shelf_dir();
}

// A fresh host; with a preset name, the preset read and checked from the
// shelf before anything else happens.
std::optional<preset_data> start_host(const host_options& options, const std::optional<std::string>& preset) {
    reset_host();
    if (!preset) return std::nullopt;
    use_shelf(options);
    return host().shelf.read(*preset);
}

std::string module_path(const host_options& options) {
    return options.module_path.empty() ? default_module_path() : options.module_path;
}

// The crown file given, else the preset's crown, else the built-in one.
void load_crown(const build_request& request, standin_host& mesh, const std::optional<preset_data>& preset = {}) {
    if (request.crown)
        formats::read_crown(*request.crown, mesh.background(),
                            request.crown_z_up ? formats::crown_up::z : formats::crown_up::y);
    else if (preset && preset->crown)
        fill_crown(*preset->crown, mesh.background());
    else
        make_default_crown(mesh.background());
}

// Notes for a command that succeeds; a refused one prints its error alone.
std::vector<std::string> g_notes;

// The panel edits, in order; a value beyond the slider and a value the tool
// stored otherwise are noted.
void apply_settings(tool_session& session, std::vector<panel_setting>& settings) {
    for (panel_setting& s : settings) {
        const std::string stored = session.apply(s);
        if (!s.beyond.empty()) g_notes.push_back(s.beyond);
        if (!stored.empty()) g_notes.push_back(s.text + " was stored as " + stored);
    }
}

// A build command whose tool asked for no build (it rejects one) is an error.
void require_builds(int builds) {
    if (builds == 0) throw host_error("the tool did not ask for a build");
}

// Runs a command, turning every failure into one line and exit status 2.
// The tool's information messages join that line, or have one each.
template <class F>
int guarded(F&& body) {
    try {
        const int status = body();
        for (const std::string& n : g_notes) report(n);
        if (const std::string m = take_messages(); !m.empty()) report(m);
        return status;
    } catch (const formats::budget_error& e) {
        report_error("the tree needs " + std::string(e.what()) + "; --max-memory SIZE changes it");
    } catch (const std::bad_alloc&) {
        report_error(memory_error("Memory allocation error"));
    } catch (const input_error& e) {  // an argument, preset or file to fix
        report_error(e.what());
    } catch (const host_error& e) {
        // The tool's own text when it ran out.
        const std::string what = e.what();
        report_error(what == "Memory allocation error" ? memory_error(what) : what);
    } catch (const std::exception& e) {
        report_error(e.what());
    }
    return k_exit_error;
}


// What is written of the request's tree.
tree_output_request outputs_of(const build_request& r) {
    return {r.outputs, r.preview, r.subdivide, r.triangles, r.lod, r.lod_budgets, r.wind_colours, r.wind, r.impostor};
}

// The files of one variant of a batch, named in refusals by the options as
// given, with {seed}.
std::vector<output_file> variant_files(const build_request& request, std::int32_t seed) {
    std::vector<output_target> outputs;
    for (const std::string& o : request.outputs) outputs.push_back(classify_output(with_seed(o, seed)));
    std::optional<std::string> preview;
    if (request.preview) {
        preview = with_seed(*request.preview, seed);
        if (!has_extension(*preview, ".png"))
            throw usage_error("--preview " + *request.preview + ": the picture is a PNG file; name it FILE.png");
    }
    std::vector<std::string> given = request.outputs;
    given.push_back(request.preview.value_or(""));
    return output_files(outputs, preview, request.lod, given);
}

// Every file of every variant of the list, also those of other shards (they
// may share a folder); only this run's are looked at on disk.
void check_batch_outputs(const build_request& request, const batch_plan& plan) {
    const std::set<std::int32_t> here(plan.seeds.begin(), plan.seeds.end());
    output_check check;
    for (const std::int32_t seed : plan.all) check.add(variant_files(request, seed), seed, here.count(seed) > 0);
    check.finish([&](std::size_t k) { return variant_files(request, plan.all[k]); });
}

}  // namespace

// Variants in batch: everything is checked here once, then each seed is
// built by run_build in a worker process of its own.
int run_build_seeds(const build_request& request, const host_options& options) {
    return guarded([&] {
        const batch_plan plan = plan_batch(request);
        check_batch_outputs(request, plan);
        parse_settings(variant(request, plan.all.front()).sets);
        if (request.bark_texture || request.leaf_atlas)
            load_textures({request.no_textures, request.bark_texture, request.leaf_atlas});
        const std::optional<preset_data> preset = start_host(options, request.preset);
        {
            standin_host mesh;
            load_crown(request, mesh, preset);
        }
        return run_batch(plan, request, [&](const build_request& one) { return run_build(one, options); });
    });
}

int run_build(const build_request& request, const host_options& options) {
    if (request.seeds) return run_build_seeds(request, options);
    return guarded([&] {
        const std::vector<output_target> outputs = checked_outputs(outputs_of(request));
        std::vector<panel_setting> settings = parse_settings(request.sets);
        // The images are read and checked before anything is built, also
        // when no output uses them: a bad file named is a mistake either way.
        formats::texture_set textures;
        if (request.bark_texture || request.leaf_atlas ||
            std::any_of(outputs.begin(), outputs.end(), [](const output_target& o) { return info_of(o).images; }))
            textures = load_textures({request.no_textures, request.bark_texture, request.leaf_atlas});
        const std::optional<preset_data> preset = start_host(options, request.preset);
        standin_host mesh;
        load_crown(request, mesh, preset);
        // The history of edits costs more than the tree itself; only the
        // edit log reads it.
        mesh.foreground().keep_history(
            std::any_of(outputs.begin(), outputs.end(), [](const output_target& o) { return info_of(o).history; }));

        plugin_module module(module_path(options));
        tool_session session(module);
        const real_settings defaults = read_reals(session.panel());
        if (preset) session.load_preset(*preset);
        apply_settings(session, settings);
        // What these settings cost is known before anything grows.
        require_within_budget(estimate_build(read_cost_settings(session.panel()), mesh.background(),
                                             {request.subdivide, request.lod, mesh.foreground().keeps_history()}),
                              formats::memory_budget::limit());
        MeshEditOp op = mesh.edit_op();
        const auto start = std::chrono::steady_clock::now();
        require_builds(session.run_builds(op, mesh.foreground()));
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        const std::string far = far_settings(defaults, read_reals(session.panel()));
        session.finish();

        write_grown_tree(outputs_of(request), outputs, textures, std::move(mesh.foreground()), mesh.background(), far);
        std::fprintf(stderr, "sylvaform: %u points, %u polygons in %.3f s\n", unsigned(mesh.foreground().point_count()),
                     unsigned(mesh.foreground().polygon_count()), took.count());
        return k_exit_ok;
    });
}

int run_preset_add(const std::string& name, const build_request& request, const host_options& options) {
    return guarded([&] {
        check_preset_name(name);
        std::vector<panel_setting> settings = parse_settings(request.sets);
        // A preset keeps the tool's values as 32-bit floats.
        for (const panel_setting& s : settings)
            if (s.field->kind == field_kind::real && !(std::fabs(s.d) <= std::numeric_limits<float>::max()))
                throw usage_error("--set " + s.text + ": beyond the 32-bit float range a preset holds");
        reset_host();
        use_shelf(options);
        standin_host mesh;
        load_crown(request, mesh);
        // A crown file given is kept in the preset (checked before growing).
        if (request.crown)
            host().shelf.pending_crown = preset_crown_of(
                mesh.background(),
                request.crown_label.value_or(std::filesystem::path(*request.crown).filename().string()));

        plugin_module module(module_path(options));
        tool_session session(module);
        apply_settings(session, settings);
        require_within_budget(estimate_build(read_cost_settings(session.panel()), mesh.background(),
                                             {0, 0, mesh.foreground().keeps_history()}),
                              formats::memory_budget::limit());
        MeshEditOp op = mesh.edit_op();
        require_builds(session.run_builds(op, mesh.foreground()));
        preset_shelf& shelf = host().shelf;
        shelf.pending_name = name;
        shelf.draw_picture = [&mesh] { return preset_picture_png(mesh.foreground()); };
        session.press(k_add_preset_button);
        if (!shelf.last_saved)
            throw host_error(shelf.last_error.empty() ? "the tool added no preset (it had no tree to draw)"
                                                      : shelf.last_error);
        session.finish();
        const preset_shelf::saved_preset& saved = *shelf.last_saved;
        report(std::string(saved.replaced ? "replaced" : "saved") + " preset '" + name + "' in " +
               saved.preset_path + ", thumbnail " + saved.png_path);
        return k_exit_ok;
    });
}

int run_preset_list(const host_options& options) {
    return guarded([&] {
        reset_host();
        use_shelf(options);
        std::vector<std::string> warnings;
        const std::vector<std::string> names = host().shelf.list(warnings);
        for (const std::string& w : warnings) report("skipped " + w);
        std::string text;
        for (const std::string& n : names) text += n + "\n";
        write_stdout(text);
        return k_exit_ok;
    });
}

int run_preset_starters(const host_options& options) {
    return guarded([&] {
        const std::filesystem::path dir =
            options.shelf_dir ? std::filesystem::path(*options.shelf_dir) : default_shelf_dir();
        std::error_code ec;
        std::filesystem::create_directories(dir, ec);
        if (ec) throw host_error(dir.string() + ": cannot make the presets shelf: " + ec.message());
        const std::size_t all = starter_presets().size();
        const int saved = install_starters(dir, options, report);
        report("installed " + std::to_string(saved) + " of " + std::to_string(all) + " starter presets in " +
               dir.string());
        return std::size_t(saved) == all ? k_exit_ok : k_exit_error;
    });
}

int run_preset_remove(const std::string& name, const host_options& options) {
    return guarded([&] {
        reset_host();
        use_shelf(options);
        host().shelf.remove(name);
        report("removed preset '" + name + "'");
        return k_exit_ok;
    });
}

int run_panel(const build_request& request, const host_options& options) {
    return guarded([&] {
        std::vector<panel_setting> settings = parse_settings(request.sets);
        const std::optional<preset_data> preset = start_host(options, request.preset);
        plugin_module module(module_path(options));
        tool_session session(module);
        if (preset) session.load_preset(*preset);
        apply_settings(session, settings);
        std::string text = render_panel(session.panel(), request.explain);
        if (preset && preset->crown)
            text += "Crown: " + formats::printable(preset->crown->name) + " (kept in the preset; " +
                    std::to_string(preset->crown->xyz.size() / 3) + " points, " +
                    std::to_string(preset->crown->counts.size()) + " polygons)\n";
        session.finish();
        write_stdout(text);
        return k_exit_ok;
    });
}

int run_serve_command(const build_request& request, const host_options& options, const std::string& address,
                      const std::vector<std::string>& allow_hosts, int port, int max_upload_mb) {
    return guarded([&] {
        serve_options serve;
        serve.setup.module_path = module_path(options);
        fill_fresh_shelf(options);
        serve.setup.shelf_dir = options.shelf_dir ? std::filesystem::path(*options.shelf_dir) : default_shelf_dir();
        serve.setup.crown = request.crown;
        serve.setup.crown_z_up = request.crown_z_up;
        serve.setup.opening_starter = k_opening_starter;
        if (!address.empty()) {
            serve.host = address;
        }
        for (const std::string& name : allow_hosts) serve.allow_hosts.push_back(check_host_name(name));
        serve.port = port;
        serve.max_upload = std::size_t(max_upload_mb) << 20;
        return run_serve(serve);
    });
}

namespace {

// --lod: a number of levels (1 to 8), or the falling triangle budgets of
// levels 1, 2, ... ("60k,20k,5k"; a single count has three digits or a
// suffix). Empty, or what is wrong with it.
std::string parse_lod(const std::string& text, build_request& request) {
    const bool plain = !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return std::isdigit(c); });
    if (plain && text.size() <= 2) {  // two digits at most: levels; more: one triangle count
        const int n = std::stoi(text);
        if (n < 1 || n > formats::k_max_lod_levels)
            return "the levels are 1 to " + std::to_string(formats::k_max_lod_levels) +
                   " (or give triangle counts such as 60k,20k,5k)";
        request.lod = n;
        return {};
    }
    std::vector<std::size_t> budgets;
    std::size_t at = 0;
    while (at <= text.size()) {
        const std::size_t comma = std::min(text.find(',', at), text.size());
        std::string item = text.substr(at, comma - at);
        at = comma + 1;
        std::size_t times = 1;
        if (!item.empty() && (item.back() == 'k' || item.back() == 'K')) times = 1000, item.pop_back();
        else if (!item.empty() && (item.back() == 'm' || item.back() == 'M')) times = 1000000, item.pop_back();
        if (item.empty() || item.size() > 10 || !std::all_of(item.begin(), item.end(), [](char c) { return std::isdigit(c); }))
            return "expected a number of levels (1 to 8) or triangle counts such as 60k,20k,5k";
        const std::size_t n = std::stoull(item) * times;
        if (n == 0) return "a level needs at least one triangle";
        if (!budgets.empty() && n >= budgets.back()) return "each level needs fewer triangles than the one before";
        budgets.push_back(n);
    }
    if (budgets.size() + 1 > std::size_t(formats::k_max_lod_levels))
        return "at most " + std::to_string(formats::k_max_lod_levels - 1) + " counts (levels 1 to 7; level 0 is the tree)";
    request.lod = int(budgets.size()) + 1;
    request.lod_budgets = std::move(budgets);
    return {};
}

// The command line: every option's variable, and the options whose presence
// matters after parsing. Options are declared in the order --help lists them.
struct command_line {
    CLI::App app{"Sylvaform: grows a tree inside a crown mesh. The tree generator is a plug-in module that this "
                 "program loads and drives as its host."};
    host_options options;
    build_request request;
    std::string shelf_dir, max_memory, crown, crown_up = "y", preset, name, seeds, shard, preview_path;
    std::string bark_texture, leaf_atlas, address, lod;
    std::vector<std::string> allow_hosts;
    std::size_t triangles = 0;
    int port = 8642, max_upload_mb = 64;
    std::string fields = "Fields: " + field_names() + "\n";
    CLI::Option *shelf_opt, *memory_opt, *crown_opt, *preset_opt, *seeds_opt, *shard_opt, *preview_opt, *triangles_opt, *lod_opt;
    CLI::Option *bark_opt, *atlas_opt, *add_crown_opt, *panel_preset_opt, *serve_crown_opt;
    CLI::App *build, *add, *starters, *remove, *panel, *serve;

    command_line() {
        app.name("sylvaform");
        app.require_subcommand(1);
        app.fallthrough();  // --module and --shelf also after the subcommand
        app.add_option("--module", options.module_path, "The plug-in module (default: sylvaform.so beside the program)");
        shelf_opt =
            app.add_option("--shelf", shelf_dir, "Presets shelf directory (default: ~/.local/share/sylvaform/presets)");
        memory_opt = app.add_option(
            "--max-memory", max_memory,
            "Memory budget of a build, e.g. 4G or 512M (default: half of the physical memory); a tree that needs more "
            "is refused");
        add_build();
        add_presets();
        add_panel();
        add_serve();
    }

    void add_sets(CLI::App* cmd) {
        cmd->add_option("--set", request.sets,
                        "FIELD=VALUE in the field's own units, entered in the panel; 12deg and 40% accepted")
            ->allow_extra_args(false);
        cmd->footer(fields);
    }

    CLI::Option* add_crown(CLI::App* cmd) {
        CLI::Option* opt = cmd->add_option(
            "--crown", crown,
            "Crown mesh: OBJ, glTF/GLB, PLY, STL, FBX, LWO, DAE or any format Assimp reads (default: a built-in "
            "ellipsoid)");
        cmd->add_option("--crown-up", crown_up, "The crown file's up axis: y (default) or z")
            ->check(CLI::IsMember({"y", "z"}));
        return opt;
    }

    void add_build() {
        build = app.add_subcommand("build", "Grow one tree and write it out.");
        crown_opt = add_crown(build);
        preset_opt = build->add_option("--preset", preset, "Load this preset before the --set values");
        add_sets(build);
        build->add_option("-o", request.outputs, "Output file: .obj (with .mtl), .lwo or .glb mesh, .edits edit log, or - for the log on stdout")
            ->allow_extra_args(false);
        build->add_option("--subdivide", request.subdivide,
                          "Refine SubD cages this many Catmull-Clark levels (0-3) in .obj and .glb output")
            ->check(CLI::Range(0, formats::k_max_subdivision_levels));
        lod_opt = build->add_option(
            "--lod", lod,
            "Levels of detail: N (1-8), each about half the triangles of the one before, or the triangles of levels "
            "1, 2, ... (e.g. 60k,20k,5k): .glb nodes tree_LOD0..., .obj files NAME_LOD1.obj...");
        triangles_opt = build->add_option(
            "--triangles", triangles,
            "Round bark within a budget: refine the tubes (--subdivide levels, default 2) and simplify them so that "
            "level 0 of .obj and .glb has at most N triangles, leaves included");
        triangles_opt->check(CLI::Range(std::size_t(1), std::size_t(4000000000)));
        seeds_opt = build->add_option(
            "--seeds", seeds, "Build one variant per seed, e.g. 1-50 or 1,4,9-12; -o and --preview name {seed}");
        shard_opt =
            build->add_option("--shard", shard, "With --seeds: build only the K-th of N equal slices of the list (K/N)");
        build->add_option("--jobs", request.jobs, "With --seeds: worker processes (default: one per core)")
            ->check(CLI::Range(1, 1024));
        preview_opt = build->add_option("--preview", preview_path, "Also write a PNG picture of the tree, front and side");
        CLI::Option* no_textures_opt = build->add_flag(
            "--no-textures", request.no_textures, "Plain colours in .obj and .glb, no bark or leaf images");
        bark_opt = build->add_option("--bark-texture", bark_texture, "PNG image for the bark instead of the drawn one")
                       ->excludes(no_textures_opt);
        atlas_opt = build->add_option("--leaf-atlas", leaf_atlas,
                                      "PNG atlas of 3 x 3 leaves (alpha cuts them out) instead of the drawn one")
                        ->excludes(no_textures_opt);
        build->add_flag("--wind-colors", request.wind_colours,
                        "Also write the range and thickness weights as vertex colours (COLOR_0) in .glb, for game "
                        "engines that read wind weights from them");
        build->add_flag("--wind", request.wind,
                        "Also write wind data into .glb: per vertex the pivot, direction, length, level and phase of "
                        "its branch or leaf, as TEXCOORD_1..4");
        build->add_flag("--impostor", request.impostor,
                        "Also write a billboard impostor into .glb as the last level of detail (node NAME_impostor, "
                        "after NAME_LOD0...): the tree drawn from 8 sides and from above into a colour and a normal "
                        "atlas, shown on crossed cards");
    }

    void add_presets() {
        CLI::App* presets = app.add_subcommand("preset", "Presets on the shelf.");
        presets->require_subcommand(1);
        add = presets->add_subcommand("add", "Grow a tree, draw its thumbnail and save the settings as a preset.");
        add->add_option("NAME", name, "Preset name")->required();
        add_crown_opt = add_crown(add);
        add_sets(add);
        presets->add_subcommand("list", "List the presets on the shelf.");
        starters = presets->add_subcommand(
            "starters", "Grow the starter presets and put them on the shelf (a new default shelf gets them by itself).");
        remove = presets->add_subcommand("remove", "Remove a preset and its thumbnail.");
        remove->add_option("NAME", name, "Preset name")->required();
    }

    void add_panel() {
        panel = app.add_subcommand("panel", "Print the tool's panel with its current values.");
        panel_preset_opt = panel->add_option("--preset", preset, "Load this preset first");
        add_sets(panel);
        panel->add_flag("--explain", request.explain, "Say under each control what it does to the tree");
    }

    void add_serve() {
        serve = app.add_subcommand(
            "serve", "Run the tool behind a local web page: its panel, a 3D view and the presets shelf.");
        serve_crown_opt = add_crown(serve);
        serve->add_option("--port", port, "TCP port (default 8642; 0 picks a free one)")->check(CLI::Range(0, 65535));
        serve->add_option("--host", address,
                          "Address to listen on (default 127.0.0.1). Anything else lets other machines use the tool.");
        serve->add_option("--allow-host", allow_hosts,
                          "Also answer requests addressed to this host name or address (repeatable); see README")
            ->allow_extra_args(false);
        serve->add_option("--max-upload-mb", max_upload_mb, "Largest crown upload in MiB (default 64)")
            ->check(CLI::Range(1, 512));
    }

    // After parsing: what was given goes into the request and the options.
    // False (with the line said) when the options do not go together.
    bool take_options() {
        if (crown_opt->count() > 0 || add_crown_opt->count() > 0 || serve_crown_opt->count() > 0) request.crown = crown;
        request.crown_z_up = crown_up == "z";
        if (preview_opt->count() > 0) request.preview = preview_path;
        if (bark_opt->count() > 0) request.bark_texture = bark_texture;
        if (atlas_opt->count() > 0) request.leaf_atlas = leaf_atlas;
        if (seeds_opt->count() > 0) request.seeds = seeds;
        if (triangles_opt->count() > 0) request.triangles = triangles;
        if (lod_opt->count() > 0) {
            const std::string problem = parse_lod(lod, request);
            if (!problem.empty()) {
                std::fprintf(stderr, "sylvaform: --lod %s: %s\n", lod.c_str(), problem.c_str());
                return false;
            }
        }
        if (shard_opt->count() > 0) request.shard = shard;
        if (request.shard && !request.seeds) {
            std::fprintf(stderr, "sylvaform: --shard divides a --seeds list; give --seeds too\n");
            return false;
        }
        if (preset_opt->count() > 0 || panel_preset_opt->count() > 0) request.preset = preset;
        if (shelf_opt->count() > 0) options.shelf_dir = shelf_dir;
        return true;
    }

    int run() {
        if (build->parsed()) return run_build(request, options);
        if (panel->parsed()) return run_panel(request, options);
        if (serve->parsed()) return run_serve_command(request, options, address, allow_hosts, port, max_upload_mb);
        if (add->parsed()) return run_preset_add(name, request, options);
        if (remove->parsed()) return run_preset_remove(name, options);
        if (starters->parsed()) return run_preset_starters(options);
        return run_preset_list(options);
    }
};

}  // namespace

int run_program(int argc, char** argv) {
    command_line cl;
    try {
        cl.app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == 0) return cl.app.exit(e);  // --help
        // One line, like every other refusal.
        std::string what = e.what();
        std::replace(what.begin(), what.end(), '\n', ' ');
        report(what + " (sylvaform --help lists the options)");
        return k_exit_error;
    }
    if (!cl.take_options()) return k_exit_error;
    std::size_t budget = formats::default_memory_budget();
    if (cl.memory_opt->count() > 0) {
        budget = formats::parse_memory_size(cl.max_memory);
        if (budget == 0) {
            report("--max-memory " + cl.max_memory + ": not a size of at least 1M (use e.g. 4G or 512M)");
            return k_exit_error;
        }
    }
    apply_memory_budget(budget);
    // A closed standard output is a write error (exit 2), not a silent death.
    std::signal(SIGPIPE, SIG_IGN);
    return cl.run();
}

}  // namespace sf::app
