// Crown files other than OBJ are parsed in a separate process: this program
// run again with a hidden first argument. The child gets address-space, CPU,
// file-size and core limits, no descriptors but its answer pipe, dies with
// its parent, and installs a system-call filter (no network, no exec, no
// writes but the answer) before it opens the file. The parent waits for it
// with a wall-clock timeout and checks its answer whole.
#pragma once

#include <cstdint>
#include <string>

#include "formats/crown_reader.h"
#include "formats/mesh_layer.h"

namespace sf::formats {

// The hidden first argument that makes the program a crown reader.
inline constexpr const char* k_crown_child_argument = "--internal-crown-reader";

struct crown_child_limits {
    int seconds = 10;                             // wall clock and CPU
    std::uint64_t memory = std::uint64_t(2) << 30;  // address space
};

// The program run as the reader; by default the running program itself.
void set_crown_reader_program(std::string path);
void set_crown_child_limits(const crown_child_limits& limits);
crown_child_limits crown_child_limits_now();

// Reads path in a child process into layer (cleared first). Throws io_error
// "path: cannot read crown: why" for a refusal, a crash, a timeout, a limit
// or an answer that does not check out.
void read_crown_in_child(const std::string& path, crown_source source, mesh_layer& layer);

// The reader's system-call filter, installed on the calling process for
// good: writes only to descriptors 2 and 3 (any, in sanitizer builds),
// files opened read-only, no network, no new processes (exec kills), no
// raising of resource limits. False when the kernel refuses it.
bool install_crown_reader_filter();

// The child's side: argv[1] is k_crown_child_argument. Returns the exit status.
int crown_child_main(int argc, char** argv);

}  // namespace sf::formats
