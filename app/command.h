// The sylvaform command: one build on the stand-in host, as the host would
// run it, and the files it writes.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace sf::app {

constexpr int k_exit_ok = 0;
constexpr int k_exit_error = 2;

enum class output_kind { obj, edit_log, edit_log_stdout };

struct output_target {
    std::string path;
    output_kind kind;
};

// "-" is the edit log on standard output; otherwise the extension (.obj or
// .edits, any case) decides. Throws usage_error for anything else.
output_target classify_output(const std::string& arg);

struct build_request {
    std::optional<std::string> crown;  // OBJ file; none for the built-in crown
    std::vector<std::string> sets;     // FIELD=VALUE, applied in order
    std::vector<std::string> outputs;  // -o arguments
};

// Checks the request, loads the crown, runs the build callback and writes
// the outputs. Errors go to standard error as one line; answers the exit
// status. Nothing is written unless the build succeeds.
int run_build(const build_request& request);

// The command line: "build" is the one subcommand.
int run_program(int argc, char** argv);

}  // namespace sf::app
