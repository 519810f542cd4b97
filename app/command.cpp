#include "app/command.h"

#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <new>

#include "app/default_crown.h"
#include "app/settings_args.h"
#include "app/standin_host.h"
#include "app/standin_services.h"
#include "core/build.h"
#include "core/settings.h"
#include "formats/edit_log.h"
#include "formats/file_io.h"
#include "formats/obj_reader.h"
#include "formats/obj_writer.h"

namespace sf::app {

namespace {

void report(const std::string& message) { std::fprintf(stderr, "sylvaform: %s\n", message.c_str()); }

bool has_extension(const std::string& path, std::string_view ext) {
    const std::size_t slash = path.rfind('/');
    const std::size_t base = slash == std::string::npos ? 0 : slash + 1;
    if (path.size() - base <= ext.size()) return false;  // a bare ".obj" names no file
    return std::equal(ext.begin(), ext.end(), path.end() - static_cast<std::ptrdiff_t>(ext.size()),
                      [](char a, char b) { return a == std::tolower(static_cast<unsigned char>(b)); });
}

void write_output(const output_target& out, const formats::mesh_layer& fg) {
    if (out.kind == output_kind::edit_log_stdout) {
        formats::fd_sink sink(STDOUT_FILENO, "standard output");
        formats::write_edit_log(fg, sink);
        return;
    }
    if (out.kind == output_kind::obj) {
        formats::write_obj_files(fg, out.path);  // with its .mtl beside it
        return;
    }
    formats::atomic_file file(out.path);
    formats::write_edit_log(fg, file);
    file.commit();
}

}  // namespace

output_target classify_output(const std::string& arg) {
    if (arg == "-") return {arg, output_kind::edit_log_stdout};
    if (has_extension(arg, ".obj")) return {arg, output_kind::obj};
    if (has_extension(arg, ".edits")) return {arg, output_kind::edit_log};
    throw usage_error("-o " + arg + ": unknown output type (use .obj, .edits or - for the edit log on stdout)");
}

int run_build(const build_request& request) {
    try {
        std::vector<output_target> outputs;
        for (const std::string& o : request.outputs) outputs.push_back(classify_output(o));

        reset_to_defaults(g_settings);
        g_defaults_copied = true;
        for (const std::string& s : request.sets) apply_setting(g_settings, s);
        g_settings.hidden = 1;  // the tool is active

        standin_host host;
        if (request.crown)
            formats::read_obj(*request.crown, host.background());
        else
            make_default_crown(host.background());

        install_standin_services();
        MeshEditOp op = host.edit_op();
        const auto start = std::chrono::steady_clock::now();
        if (const char* error = build_callback(&g_settings, &op)) {
            report(error);
            return k_exit_error;
        }
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;

        const formats::mesh_layer& fg = host.foreground();
        for (const output_target& o : outputs) write_output(o, fg);
        std::fprintf(stderr, "sylvaform: %u points, %u polygons in %.3f s\n", unsigned(fg.point_count()),
                     unsigned(fg.polygon_count()), took.count());
        return k_exit_ok;
    } catch (const std::bad_alloc&) {
        report("Memory allocation error");
    } catch (const std::exception& e) {
        report(e.what());
    }
    return k_exit_error;
}

int run_program(int argc, char** argv) {
    CLI::App app{"Sylvaform: grows a tree inside a crown mesh."};
    app.name("sylvaform");
    app.require_subcommand(1);

    build_request request;
    std::string crown;
    CLI::App* build = app.add_subcommand("build", "Grow one tree and write it out.");
    CLI::Option* crown_opt =
        build->add_option("--crown", crown, "Crown mesh, Wavefront OBJ (default: a built-in ellipsoid)");
    build->add_option("--set", request.sets, "FIELD=VALUE in the field's own units; 12deg and 40% accepted")
        ->allow_extra_args(false);
    build->add_option("-o", request.outputs, "Output file: .obj mesh, .edits edit log, or - for the log on stdout")
        ->allow_extra_args(false);
    build->footer("Fields: " + field_names() + "\n");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int code = app.exit(e);
        return code == 0 ? k_exit_ok : k_exit_error;
    }
    if (crown_opt->count() > 0) request.crown = crown;
    // A closed standard output is a write error (exit 2), not a silent death.
    std::signal(SIGPIPE, SIG_IGN);
    return run_build(request);
}

}  // namespace sf::app
