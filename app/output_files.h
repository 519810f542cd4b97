// Every file a build writes, known before anything is built, so that a bad
// target is refused while nothing has been spent on it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "app/command.h"

namespace sf::app {

struct output_file {
    std::string path;
    std::string option;  // the argument that names it, e.g. "-o tree.obj"
};

// The files of one build: each -o (an .obj with its .mtl and images, and
// with lod > 1 its level files with theirs) and the preview.
std::vector<output_file> output_files(const std::vector<output_target>& outputs,
                                      const std::optional<std::string>& preview, int lod);

// Checks the files of one build, or of every variant of a batch, before
// anything is built. Throws usage_error when a target exists and is not a
// regular file (or a link to one), or when two files are one: compared by
// their folder with links resolved, and their name.
class output_check {
public:
    // written: this run writes them (else only their names are compared,
    // as for the variants of another shard).
    void add(const std::vector<output_file>& files, std::optional<std::int32_t> seed = std::nullopt,
             bool written = true);

private:
    std::string key(const std::string& path);
    std::unordered_map<std::string, std::string> folders_;  // folder as written -> resolved
    std::unordered_map<std::string, std::string> seen_;     // file -> who writes it
};

}  // namespace sf::app
