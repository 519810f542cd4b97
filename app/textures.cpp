#include "app/textures.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "app/png_image.h"
#include "formats/errors.h"
#include "formats/file_io.h"

namespace sf::app {

namespace {

std::string read_checked(const std::string& path, const char* option) {
    const std::string what = std::string(option) + " " + path + ": ";
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) throw input_error(what + std::strerror(errno));
    if (!S_ISREG(st.st_mode)) throw input_error(what + "not a regular file");
    if (std::uintmax_t(st.st_size) > k_max_texture_bytes)
        throw input_error(what + "larger than " + std::to_string(k_max_texture_bytes >> 20) + " MiB");
    std::string bytes;
    try {
        bytes = formats::read_file(path);
    } catch (const formats::io_error& e) {
        throw input_error(std::string(option) + " " + e.what());
    }
    const png_check check = check_png(bytes, k_max_texture_side);
    if (!check.error.empty()) throw input_error(what + check.error);
    return bytes;
}

#define SF_EMBED(symbol, file)                                                        \
    ".global " #symbol "\n.hidden " #symbol "\n.balign 16\n" #symbol ":\n"           \
    ".incbin \"" SF_TEXTURE_DIR "/" file "\"\n"                                        \
    ".global " #symbol "_end\n.hidden " #symbol "_end\n" #symbol "_end:\n.byte 0\n"

// The images as the build drew them (texture_tool.cpp).
asm(".section .rodata\n" SF_EMBED(sf_texture_bark, "bark.png") SF_EMBED(sf_texture_leaves, "leaves.png")
        SF_EMBED(sf_texture_leaf_normal, "leaf_normal.png") SF_EMBED(sf_texture_bark_normal, "bark_normal.png")
            SF_EMBED(sf_texture_bark_orm, "bark_orm.png") ".previous\n");

extern "C" const char sf_texture_bark[], sf_texture_bark_end[];
extern "C" const char sf_texture_leaves[], sf_texture_leaves_end[];
extern "C" const char sf_texture_leaf_normal[], sf_texture_leaf_normal_end[];
extern "C" const char sf_texture_bark_normal[], sf_texture_bark_normal_end[];
extern "C" const char sf_texture_bark_orm[], sf_texture_bark_orm_end[];

}  // namespace

const formats::texture_set& default_textures() {
    static const formats::texture_set set = [] {
        formats::texture_set s;
        s.bark_png.assign(sf_texture_bark, sf_texture_bark_end);
        s.leaf_png.assign(sf_texture_leaves, sf_texture_leaves_end);
        s.leaf_normal_png.assign(sf_texture_leaf_normal, sf_texture_leaf_normal_end);
        s.bark_normal_png.assign(sf_texture_bark_normal, sf_texture_bark_normal_end);
        s.bark_orm_png.assign(sf_texture_bark_orm, sf_texture_bark_orm_end);
        return s;
    }();
    return set;
}

formats::texture_set load_textures(const texture_request& request) {
    formats::texture_set set;
    if (request.none) return set;
    if (request.bark_file) set.bark_png = read_checked(*request.bark_file, "--bark-texture");
    if (request.leaf_file) set.leaf_png = read_checked(*request.leaf_file, "--leaf-atlas");
    // The drawn relief goes with the drawn colour only: on a user's own
    // bark its plates and furrows would not match the picture.
    if (set.bark_png.empty()) {
        set.bark_png = default_textures().bark_png;
        set.bark_normal_png = default_textures().bark_normal_png;
        set.bark_orm_png = default_textures().bark_orm_png;
    }
    if (set.leaf_png.empty()) {
        set.leaf_png = default_textures().leaf_png;
        set.leaf_normal_png = default_textures().leaf_normal_png;
    }
    return set;
}

}  // namespace sf::app
