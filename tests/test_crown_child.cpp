// The crown reader process and its answer: the layout checked whole, and a
// child that crashes, hangs, fails or answers nonsense turned into one line.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "formats/crown_child.h"
#include "formats/crown_reader.h"
#include "formats/crown_wire.h"
#include "formats/file_io.h"
#include "scratch_dir.h"

namespace sf::formats {
namespace {

// The test program cannot be a reader; the real program is.
const bool g_reader_set = [] {
    set_crown_reader_program(SF_PROGRAM);
    return true;
}();

}  // namespace
}  // namespace sf::formats
