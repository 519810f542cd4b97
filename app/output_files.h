// Every file a build writes, known before anything is built, so that a bad
// target is refused while nothing has been spent on it.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "app/tree_output.h"

namespace sf::app {

struct output_file {
    std::string path;
    std::string option;  // the argument that names it, e.g. "-o tree.obj"
};

// The files of one build: each -o (an .obj with its .mtl and images, and
// with lod > 1 its level files with theirs) and the preview. given: the
// arguments as written, when they differ from the paths ({seed}), one per
// output and then the preview's.
std::vector<output_file> output_files(const std::vector<output_target>& outputs,
                                      const std::optional<std::string>& preview, int lod,
                                      const std::vector<std::string>& given = {});

// Checks the files of one build, or of every variant of a batch, before
// anything is built. Throws usage_error when a target exists and is not a
// regular file (or a link to one), or when two files are one: compared by
// their folder with links resolved, and their name. A batch of many
// variants keeps 16 bytes per file, not the names.
class output_check {
public:
    // The files of one build (or variant: seed); written: this run writes
    // them (else only their names are compared, as for another shard's).
    void add(const std::vector<output_file>& files, std::optional<std::int32_t> seed = std::nullopt,
             bool written = true);
    // Throws for the first two files that are one, in the order added.
    // files_of(k) gives again the files of the k-th add.
    void finish(const std::function<std::vector<output_file>(std::size_t)>& files_of);

private:
    struct folder {
        std::string real;  // the folder with links resolved, as far as it exists
        bool exists = false;
    };
    struct entry {
        std::uint64_t hash;
        std::uint32_t add, file;
    };
    const folder& folder_of(const std::string& path);
    std::string key(const std::string& path);
    std::unordered_map<std::string, folder> folders_;  // folder as written -> resolved
    std::vector<entry> entries_;
    std::vector<std::optional<std::int32_t>> seeds_;  // per add
};

}  // namespace sf::app
