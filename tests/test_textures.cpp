// The drawn bark and leaf atlas, the user's images and how they are
// checked, the textured OBJ set, the .obj shading like the .glb, and the
// preview of a refined SubD tree.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <map>
#include <sstream>
#include <nlohmann/json.hpp>

#include "app/bark_draw.h"
#include "app/png_image.h"
#include "app/textures.h"
#include "formats/bark_uv.h"
#include "formats/edit_log.h"
#include "formats/gltf_writer.h"
#include "formats/obj_reader.h"
#include "formats/obj_writer.h"
#include "formats/subdivide.h"
#include "scratch_dir.h"

namespace sf::app {
namespace {

const unsigned char* pixel(const rgba_image& img, int x, int y) {
    return &img.pixels[(std::size_t(y) * std::size_t(img.width) + std::size_t(x)) * 4];
}

// The atlas pixel at (u, v) in texture coordinates (v up).
const unsigned char* at_uv(const rgba_image& img, double u, double v) {
    const int x = std::min(img.width - 1, int(u * img.width));
    const int y = std::min(img.height - 1, int((1.0 - v) * img.height));
    return pixel(img, x, y);
}

TEST(Textures, LeafAtlasTilesLineUpWithTheLeafCoordinates) {
    const rgba_image atlas = draw_leaf_atlas(1);
    ASSERT_EQ(atlas.width, k_atlas_size);
    ASSERT_EQ(atlas.height, k_atlas_size);
    for (int a = 0; a < 3; ++a)
        for (int b = 0; b < 3; ++b) {
            SCOPED_TRACE("tile " + std::to_string(a) + "," + std::to_string(b));
            // As the leaves write them: ((u + a) / 3, (v + b) / 3).
            auto tile = [&](double u, double v) { return at_uv(atlas, (u + a) / 3, (v + b) / 3); };
            const unsigned char* middle = tile(0.5 + 0.03, 0.5);
            EXPECT_EQ(middle[3], 255);                    // the blade is opaque
            EXPECT_GT(middle[1], middle[0] + 30);         // and green
            EXPECT_GT(middle[1], middle[2] + 30);
            EXPECT_EQ(tile(0.03, 0.5)[3], 0);              // cut out beside it
            EXPECT_EQ(tile(0.97, 0.5)[3], 0);
            EXPECT_EQ(tile(0.5, 0.999)[3], 0);            // nothing beyond the tip
            EXPECT_EQ(tile(0.1, 0.02)[3], 0);             // nor at the base corners
            EXPECT_EQ(tile(0.5, 0.02)[3], 255);           // but the stalk
            EXPECT_GT(tile(0.5, 0.5)[1], middle[1]);      // the midrib is lighter
        }
    // The variants differ: outline by column, hue by row.
    EXPECT_NE(at_uv(atlas, 0.8 / 3, 0.5 / 3)[3], at_uv(atlas, 1.8 / 3, 0.5 / 3)[3]);
    EXPECT_NE(std::memcmp(at_uv(atlas, 0.55 / 3, 0.4 / 3), at_uv(atlas, 0.55 / 3, 2.4 / 3), 3), 0);

    // Filtering mixes in the colour under alpha 0: no pixel there is darker
    // than the darkest pixel of a leaf's own outline, nor other than green-yellow.
    auto luma = [](const unsigned char* p) { return 0.2126 * p[0] + 0.7152 * p[1] + 0.0722 * p[2]; };
    double darkest_edge = 255, darkest_hidden = 255;
    for (int y = 1; y + 1 < atlas.height; ++y)
        for (int x = 1; x + 1 < atlas.width; ++x) {
            const unsigned char* p = pixel(atlas, x, y);
            const bool outline = pixel(atlas, x - 1, y)[3] == 0 || pixel(atlas, x + 1, y)[3] == 0 ||
                                 pixel(atlas, x, y - 1)[3] == 0 || pixel(atlas, x, y + 1)[3] == 0;
            if (p[3] > 0 && outline) darkest_edge = std::min(darkest_edge, luma(p));
            if (p[3] != 0) continue;
            darkest_hidden = std::min(darkest_hidden, luma(p));
            ASSERT_GT(p[1], p[2]) << x << "," << y;
        }
    EXPECT_GE(darkest_hidden, darkest_edge);
    EXPECT_GT(darkest_edge, 50);
}

// The leaves' normal map: unit normals facing out everywhere, flat off the
// leaves, tilted along midrib and veins.
TEST(Textures, LeafNormalsFollowTheAtlas) {
    const rgba_image atlas = draw_leaf_atlas(1), normals = draw_leaf_normals(1);
    ASSERT_EQ(normals.width, atlas.width);
    ASSERT_EQ(normals.height, atlas.height);
    std::size_t on_leaf = 0, tilted = 0;
    for (int y = 0; y < atlas.height; ++y)
        for (int x = 0; x < atlas.width; ++x) {
            const unsigned char* p = pixel(normals, x, y);
            double n[3], len = 0;
            for (int k = 0; k < 3; ++k) {
                n[k] = p[k] / 127.5 - 1;
                len += n[k] * n[k];
            }
            ASSERT_NEAR(std::sqrt(len), 1.0, 0.02) << x << "," << y;
            ASSERT_GT(n[2], 0.3) << x << "," << y;
            const bool far_off = pixel(atlas, x, y)[3] == 0 && pixel(atlas, std::max(x - 2, 0), y)[3] == 0 &&
                                 pixel(atlas, std::min(x + 2, atlas.width - 1), y)[3] == 0;
            if (far_off && y > 1 && y + 2 < atlas.height && pixel(atlas, x, y - 2)[3] == 0 && pixel(atlas, x, y + 2)[3] == 0) {
                ASSERT_EQ(std::memcmp(p, "\x80\x80\xff", 3), 0) << x << "," << y;
            }
            if (pixel(atlas, x, y)[3] < 255) continue;
            ++on_leaf;
            tilted += n[2] < 0.97;
        }
    EXPECT_GT(tilted, on_leaf / 20);
    EXPECT_LT(tilted, on_leaf / 2);
    // The midrib stands out: the pixels beside it lean away from it.
    const unsigned char* left = at_uv(normals, (0.5 - 0.004) / 3, 0.5 / 3);
    const unsigned char* right = at_uv(normals, (0.5 + 0.006) / 3, 0.5 / 3);
    EXPECT_LT(left[0], 128);
    EXPECT_GT(right[0], 128);
}

// The bark set: brown, tiling (opposite edges match like neighbours, so
// tubes show no seam where u wraps or v runs on), furrows along the grain,
// and normal map and occlusion that agree with the relief.
TEST(Textures, BarkSetTilesAndAgreesWithItsRelief) {
    const int side = 256;
    const height_field f = draw_bark_height(1, side);
    const bark_set bark = draw_bark_set(1, side);
    double sum[3] = {0, 0, 0};
    for (int y = 0; y < side; ++y)
        for (int x = 0; x < side; ++x)
            for (int k = 0; k < 3; ++k) sum[k] += pixel(bark.colour, x, y)[k];
    const double n = double(side) * side;
    EXPECT_GT(sum[0] / n, sum[1] / n + 5);
    EXPECT_GT(sum[1] / n, sum[2] / n + 5);
    EXPECT_GT(sum[0] / n, 40);   // not black
    EXPECT_LT(sum[0] / n, 160);  // not beige

    // Steps in height: across the wrap as inside; around (u) steeper than along.
    double inside_u = 0, wrap_u = 0, inside_v = 0, wrap_v = 0;
    for (int i = 0; i < side; ++i) {
        inside_u += std::fabs(f.at(side / 2, i) - f.at(side / 2 + 1, i));
        wrap_u += std::fabs(f.at(side - 1, i) - f.at(0, i));
        inside_v += std::fabs(f.at(i, side / 2) - f.at(i, side / 2 + 1));
        wrap_v += std::fabs(f.at(i, side - 1) - f.at(i, 0));
    }
    EXPECT_LT(wrap_u, inside_u * 1.5 + 1);
    EXPECT_LT(wrap_v, inside_v * 1.5 + 1);
    EXPECT_GT(inside_u, inside_v * 1.5);  // the furrows run along v

    // The normal leans away from where the relief rises (+X along u, +Y up
    // the image), and occlusion is deeper in the furrows.
    double lean_x = 0, lean_y = 0, low_ao = 0, high_ao = 0;
    int lows = 0, highs = 0;
    for (int y = 0; y < side; ++y)
        for (int x = 0; x < side; ++x) {
            const unsigned char* nm = pixel(bark.normal, x, y);
            lean_x += (nm[0] - 127.5) * (f.at(x + 1, y) - f.at(x - 1, y));
            lean_y += (nm[1] - 127.5) * (f.at(x, y - 1) - f.at(x, y + 1));
            EXPECT_GT(nm[2], 127) << x << "," << y;
            const double h = f.at(x, y), ao = pixel(bark.orm, x, y)[0];
            if (h < 0.15) low_ao += ao, ++lows;
            if (h > 0.6) high_ao += ao, ++highs;
            EXPECT_EQ(pixel(bark.orm, x, y)[2], 0);  // not metal
        }
    EXPECT_LT(lean_x, 0);
    EXPECT_LT(lean_y, 0);
    ASSERT_GT(lows, 100);
    ASSERT_GT(highs, 100);
    EXPECT_LT(low_ao / lows, high_ao / highs - 40);
}

// The images compiled in are the ones the drawing code makes now.
TEST(Textures, CompiledInImagesAreTheDrawnOnes) {
    const formats::texture_set& a = default_textures();
    const bark_set bark = draw_bark_set(k_texture_seed);
    EXPECT_EQ(a.bark_png, encode_bark_png(bark.colour));
    EXPECT_EQ(a.bark_normal_png, encode_bark_png(bark.normal));
    EXPECT_EQ(a.bark_orm_png, encode_bark_png(bark.orm));
    EXPECT_EQ(a.leaf_png, encode_texture_png(draw_leaf_atlas(k_texture_seed), true));
    EXPECT_EQ(a.leaf_normal_png, encode_texture_png(draw_leaf_normals(k_texture_seed), false));
}

// The user's images: good ones are used as they are, anything else is
// refused with one line naming the option and the file.
TEST(Textures, UserImagesAreChecked) {
    test::scratch_dir dir;
    const std::string good = test::slurp(std::string(SF_TEST_DATA_DIR) + "/texture_2x2.png");
    dir.write("good.png", good);
    const formats::texture_set set = load_textures({false, dir.file("good.png"), std::nullopt});
    EXPECT_EQ(set.bark_png, good);
    EXPECT_EQ(set.leaf_png, default_textures().leaf_png);
    EXPECT_TRUE(load_textures({true, std::nullopt, std::nullopt}).bark_png.empty());

    std::string cut = good.substr(0, good.size() - 20);
    std::string bad_crc = good;
    bad_crc[40] ^= 0x55;  // inside the image data
    std::string huge = good;
    huge[16] = 0x7f;  // width 0x7f000002
    dir.write("cut.png", cut);
    dir.write("crc.png", bad_crc);
    dir.write("huge.png", huge);
    dir.write("text.png", "hello");
    std::filesystem::create_directory(dir.file("dir.png"));
    for (const char* name : {"cut.png", "crc.png", "huge.png", "text.png", "dir.png", "missing.png"}) {
        SCOPED_TRACE(name);
        try {
            load_textures({false, std::nullopt, dir.file(name)});
            ADD_FAILURE() << "accepted";
        } catch (const std::runtime_error& e) {
            const std::string msg = e.what();
            EXPECT_EQ(msg.rfind("--leaf-atlas " + dir.file(name) + ": ", 0), 0u) << msg;
            EXPECT_EQ(msg.find('\n'), std::string::npos) << msg;
        }
    }
}

// Damaged copies of a real image are refused, never read past their end.
TEST(Textures, DamagedImagesAreRefused) {
    const std::string& png = default_textures().leaf_png;
    for (std::size_t cut = 1; cut < png.size(); cut += png.size() / 40 + 1)
        EXPECT_NE(check_png(png.substr(0, cut), k_max_texture_side).error, "") << cut;
    for (std::size_t at = 8; at < png.size(); at += png.size() / 40 + 1) {
        std::string bad = png;
        bad[at] = char(bad[at] ^ 0xA5);
        const png_check c = check_png(bad, k_max_texture_side);
        if (c.error.empty()) {
            EXPECT_EQ(c.width, k_atlas_size) << at;  // a flip libpng cannot see
        }
    }
    EXPECT_EQ(check_png(png, 100).error, "512x512 pixels, more than 100 on a side");

    // A small file whose chunk claims 2 GiB is refused from its size alone,
    // before anything is allocated for the chunk.
    const std::string header = png.substr(0, 33);  // signature and IHDR
    for (const char* type : {"tEXt", "zTXt", "sPLT", "IDAT"}) {
        const std::string claim = header + std::string("\x7f\xff\xff\xff", 4) + type + std::string(100, 'x');
        EXPECT_EQ(check_png(claim, k_max_texture_side).error,
                  std::string("damaged PNG image (a ") + type + " chunk of 2147483647 bytes in a file of 141)");
    }
}

formats::mesh_layer real_tree(test::program_test& t) {
    EXPECT_EQ(t.run("build --set render_type=1 --set twig_type=1 --set leaf_shape=3 --set branches=40 -o t.edits"), 0)
        << t.err();
    formats::mesh_layer l;
    formats::read_edit_log(t.file("t.edits"), "t.edits", l);
    return l;
}

struct DressedOutput : test::program_test {};

// The bark coordinates follow the world: a step along a tube or around it
// moves them by its length in tiles, on the trunk and on twigs alike, and
// never jumps (no bands). Refinement carries them to every tube point.
TEST_F(DressedOutput, BarkCoordinatesAreScaledToTheWorld) {
    formats::mesh_layer l = real_tree(*this);
    formats::add_bark_uv(l);
    const formats::index_t branch = l.find_map(LWVMAP_TXUV, "SF_branch");
    const formats::index_t bark = l.find_map(LWVMAP_TXUV, formats::k_map_bark_uv);
    ASSERT_NE(bark, formats::k_none);
    // Per surface: the length the coordinates say over the world length, along and around.
    std::map<std::string, std::vector<double>> along, around;
    double worst = 0;
    for (formats::index_t p = 0; p < l.polygon_count(); ++p) {
        const std::string surface(l.strings().view(l.polygon_surface(p)));
        if (surface != "SF_trunk" && surface != "SF_branch" && surface != "SF_twig") continue;
        const auto pts = l.polygon_points(p);
        for (std::size_t c = 0; c < pts.size(); ++c) {
            const formats::index_t a = pts[c], b = pts[(c + 1) % pts.size()];
            const float *ta = l.point_value(branch, a), *tb = l.point_value(branch, b);
            const float *wa = l.point_value(bark, a), *wb = l.point_value(bark, b);
            ASSERT_TRUE(ta && tb && wa && wb);
            const double* pa = l.point(a);
            const double* pb = l.point(b);
            const double len = std::hypot(pa[0] - pb[0], pa[1] - pb[1], pa[2] - pb[2]);
            const double du = std::fabs(wa[0] - wb[0]) * formats::k_bark_tile_metres;
            const double dv = std::fabs(wa[1] - wb[1]) * formats::k_bark_tile_metres;
            if (ta[0] == tb[0] && len > 0) {
                along[surface].push_back(dv / len);
                // Beyond the edge's own length a step only gains what the
                // inside of a bend loses against the axis: the tube's width.
                worst = std::max(worst, dv - len);
            } else if (ta[1] == tb[1] && std::fabs(ta[0] - tb[0]) < 0.3 && len > 0) {
                around[surface].push_back(du / len);
            }
        }
    }
    for (auto* set : {&along, &around})
        for (const char* surface : {"SF_trunk", "SF_twig"}) {
            std::vector<double>& r = (*set)[surface];
            ASSERT_GT(r.size(), 20u) << surface;
            std::nth_element(r.begin(), r.begin() + std::ptrdiff_t(r.size() / 2), r.end());
            EXPECT_NEAR(r[r.size() / 2], 1.0, 0.15) << surface << (set == &along ? " along" : " around");
        }
    EXPECT_LT(worst, 0.5);  // no band: v never restarts along a tube (by metres)

    const formats::mesh_layer refined = formats::subdivide_patches(formats::tubes_as_cages(l), 2);
    const formats::index_t refined_bark = refined.find_map(LWVMAP_TXUV, formats::k_map_bark_uv);
    ASSERT_NE(refined_bark, formats::k_none);
    for (formats::index_t p = 0; p < refined.polygon_count(); ++p) {
        if (refined.strings().view(refined.polygon_surface(p)) != "SF_twig") continue;
        for (const formats::index_t pt : refined.polygon_points(p))
            ASSERT_NE(refined.point_value(refined_bark, pt), nullptr);
    }
}

// The .obj's normals are the .glb's: per surface, per point, bit for bit.
TEST_F(DressedOutput, ObjNormalsAreTheGlbNormals) {
    const formats::mesh_layer l = real_tree(*this);
    formats::string_sink glb_bytes, obj;
    formats::write_glb(l, glb_bytes);
    formats::write_obj(l, obj);

    const std::string& s = glb_bytes.text;
    std::uint32_t json_len;
    std::memcpy(&json_len, s.data() + 12, 4);
    const nlohmann::json doc = nlohmann::json::parse(s.substr(20, json_len));
    const std::string bin = s.substr(20 + json_len + 8);
    auto floats = [&](int accessor) {
        const nlohmann::json& acc = doc["accessors"][accessor];
        const nlohmann::json& view = doc["bufferViews"][acc["bufferView"].get<int>()];
        std::vector<float> v(view["byteLength"].get<std::size_t>() / 4);
        std::memcpy(v.data(), bin.data() + view["byteOffset"].get<std::size_t>(), v.size() * 4);
        return v;
    };
    // Normals by (material, position) from the .glb.
    // (Distinct points may share a position: every normal there is kept.)
    std::map<std::string, std::map<std::array<float, 3>, std::vector<std::array<float, 3>>>> glb_normals;
    for (const nlohmann::json& p : doc["meshes"][0]["primitives"]) {
        if (!p["attributes"].contains("NORMAL")) continue;
        const std::string m = doc["materials"][p["material"].get<int>()]["name"];
        const std::vector<float> pos = floats(p["attributes"]["POSITION"]), nrm = floats(p["attributes"]["NORMAL"]);
        for (std::size_t i = 0; i < pos.size(); i += 3)
            glb_normals[m][{pos[i], pos[i + 1], pos[i + 2]}].push_back({nrm[i], nrm[i + 1], nrm[i + 2]});
    }

    std::vector<std::array<float, 3>> v, vn;
    std::string material;
    std::size_t faces = 0;
    std::istringstream in(obj.text);
    for (std::string line; std::getline(in, line);) {
        std::istringstream f(line);
        std::string key;
        f >> key;
        if (key == "v" || key == "vn") {
            double a, b, c;
            f >> a >> b >> c;
            (key == "v" ? v : vn).push_back({float(a), float(b), float(c)});
        } else if (key == "usemtl") {
            f >> material;
        } else if (key == "f") {
            ++faces;
            for (std::string corner; f >> corner;) {
                const std::size_t p = std::stoul(corner) - 1, n = std::stoul(corner.substr(corner.rfind('/') + 1)) - 1;
                const auto it = glb_normals[material].find(v[p]);
                ASSERT_NE(it, glb_normals[material].end()) << material << " " << line;
                ASSERT_NE(std::find(it->second.begin(), it->second.end(), vn[n]), it->second.end())
                    << material << " " << line;
            }
        }
    }
    EXPECT_GT(faces, 1000u);
}

// With images the .obj names them in its library and they are written
// beside it, all as one set; the library is smooth and grouped.
TEST_F(DressedOutput, TexturedObjSet) {
    ASSERT_EQ(run("build --set render_type=1 --set twig_type=1 --set leaf_shape=2 --set branches=30 -o t.obj"), 0)
        << err();
    EXPECT_EQ(file("t_bark_color.png"), default_textures().bark_png);
    EXPECT_EQ(file("t_leaf_atlas.png"), default_textures().leaf_png);
    EXPECT_EQ(file("t_leaf_normal.png"), default_textures().leaf_normal_png);
    const std::string mtl = file("t.mtl");
    EXPECT_NE(mtl.find("newmtl t_SF_trunk\nKd 1 1 1\n"), std::string::npos) << mtl;
    EXPECT_NE(mtl.find("map_Kd t_bark_color.png\nnorm t_bark_normal.png\nmap_Pr -imfchan g t_bark_orm.png\n"),
              std::string::npos)
        << mtl;
    EXPECT_EQ(file("t_bark_normal.png"), default_textures().bark_normal_png);
    EXPECT_EQ(file("t_bark_orm.png"), default_textures().bark_orm_png);
    EXPECT_NE(mtl.find("map_Kd t_leaf_atlas.png\nmap_d t_leaf_atlas.png\nnorm t_leaf_normal.png\n"), std::string::npos)
        << mtl;
    const std::string obj = file("t.obj");
    for (const char* m : {"SF_trunk", "SF_branch", "SF_twig", "SF_root", "LG_leaf"}) {
        std::size_t runs = 0;
        for (std::size_t at = obj.find(std::string("usemtl t_") + m + "\n"); at != std::string::npos;
             at = obj.find(std::string("usemtl t_") + m + "\n", at + 1))
            ++runs;
        EXPECT_EQ(runs, 1u) << m;
    }

    // Plain colours: no images, and no old ones left named.
    ASSERT_EQ(run("build --no-textures --set branches=30 -o plain.obj"), 0) << err();
    EXPECT_FALSE(exists("plain_bark_color.png"));
    EXPECT_EQ(file("plain.mtl").find("map_Kd"), std::string::npos);

    // An image that cannot be written leaves none of the set behind, and
    // an old set as it was.
    std::filesystem::remove(dir.file("t_leaf_atlas.png"));
    std::filesystem::remove(dir.file("t_bark_color.png"));
    std::filesystem::create_directory(dir.file("t_leaf_atlas.png"));
    dir.write("t_leaf_atlas.png/inside", "x");
    const std::string old_obj = file("t.obj"), old_mtl = file("t.mtl");
    EXPECT_EQ(run("build --set render_type=1 --set twig_type=1 --set leaf_shape=2 --set branches=20 -o t.obj"), 2);
    EXPECT_NE(err().find("t_leaf_atlas.png"), std::string::npos) << err();
    EXPECT_EQ(file("t.obj"), old_obj);
    EXPECT_EQ(file("t.mtl"), old_mtl);
    EXPECT_FALSE(exists("t_bark_color.png"));
}

TEST_F(DressedOutput, ImageOptions) {
    dir.write("bad.png", "not an image");
    EXPECT_EQ(run("build --bark-texture bad.png -o t.glb"), 2);
    EXPECT_EQ(err(), "sylvaform: --bark-texture bad.png: not a PNG image\n");
    EXPECT_FALSE(exists("t.glb"));
    EXPECT_EQ(run("build --no-textures --leaf-atlas bad.png -o t.glb"), 2);  // one or the other
    EXPECT_EQ(run("build --leaf-atlas bad.png -o t.edits"), 2);  // checked even when unused
    EXPECT_FALSE(exists("t.edits"));
    EXPECT_FALSE(exists("t.glb"));

    const std::string own = test::slurp(std::string(SF_TEST_DATA_DIR) + "/texture_2x2.png");
    dir.write("own.png", own);
    ASSERT_EQ(run("build --set render_type=1 --set twig_type=1 --set leaf_shape=1 --set branches=20 --leaf-atlas own.png "
                  "--wind-colors "
                  "-o t.glb -o t.obj"),
              0)
        << err();
    const std::string glb = file("t.glb");
    EXPECT_NE(glb.find(own), std::string::npos);                            // embedded as given
    EXPECT_NE(glb.find(default_textures().bark_png), std::string::npos);  // with the drawn bark
    EXPECT_NE(glb.find("\"COLOR_0\""), std::string::npos);
    EXPECT_EQ(file("t_leaf_atlas.png"), own);
    // The drawn normal map belongs to the drawn atlas only.
    EXPECT_FALSE(exists("t_leaf_normal.png"));
    EXPECT_EQ(file("t.mtl").find("t_leaf_normal"), std::string::npos);
    EXPECT_EQ(glb.find(default_textures().leaf_normal_png), std::string::npos);

    // A user's bark replaces the colour and drops the drawn relief, which
    // would not match it.
    ASSERT_EQ(run("build --set render_type=1 --set branches=20 --bark-texture own.png -o u.glb -o u.obj"), 0) << err();
    EXPECT_EQ(file("u.glb").find(default_textures().bark_normal_png), std::string::npos);
    EXPECT_EQ(file("u.mtl").find("norm "), std::string::npos);
    EXPECT_FALSE(exists("u_bark_orm.png"));
}

// The .obj carries one texture set: with the atlas the leaves read their
// tile of it, without it their own coordinates.
TEST(ObjLeaves, AtlasCoordinatesWithTheAtlas) {
    formats::mesh_layer l;
    for (int i = 0; i < 3; ++i) l.add_point(i, i == 1, 0);
    const formats::index_t tri[3] = {0, 1, 2};
    l.add_polygon(LWPOLTYPE_FACE, l.strings().intern("LG_leaf"), tri);
    const formats::index_t own = l.find_or_add_map(LWVMAP_TXUV, "SF_leaf", 2);
    const formats::index_t atlas = l.find_or_add_map(LWVMAP_TXUV, "SF_all_leaves", 2);
    for (formats::index_t p = 0; p < 3; ++p) {
        const float a[2] = {0.25f * float(p), 0.5f}, b[2] = {0.125f, 0.75f + 0.0625f * float(p)};
        l.add_value(p, formats::k_none, own, a);
        l.add_value(p, formats::k_none, atlas, b);
    }
    formats::string_sink plain, tiled;
    formats::write_obj(l, plain);
    formats::write_obj(l, tiled, {}, true);
    EXPECT_NE(plain.text.find("vt 0 0.5\nvt 0.25 0.5\nvt 0.5 0.5\n"), std::string::npos) << plain.text;
    EXPECT_NE(tiled.text.find("vt 0.125 0.75\nvt 0.125 0.8125\nvt 0.125 0.875\n"), std::string::npos) << tiled.text;
}

// --preview of a SubD tree shows what --subdivide made of it.
TEST_F(DressedOutput, SubdPreviewDrawsTheRefinedSurface) {
    const std::string tree = "build --set render_type=2 --set branches=20 ";
    ASSERT_EQ(run(tree + "--preview cage.png"), 0) << err();
    ASSERT_EQ(run(tree + "--subdivide 0 --preview zero.png"), 0) << err();
    ASSERT_EQ(run(tree + "--subdivide 1 --preview smooth.png"), 0) << err();
    EXPECT_EQ(file("zero.png"), file("cage.png"));
    EXPECT_NE(file("smooth.png"), file("cage.png"));
}

}  // namespace
}  // namespace sf::app
