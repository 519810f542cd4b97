// Crown input: OBJ and the formats read through Assimp, polygon and point
// order, Z-up turning, LWO handedness, and refusal of bad files.
#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "app/standin_host.h"
#include "formats/crown_reader.h"
#include "formats/file_io.h"
#include "scratch_dir.h"

namespace sf::formats {
namespace {

using corner_list = std::vector<std::array<double, 3>>;

// Each polygon as the coordinates of its corners, in order.
std::vector<corner_list> corners(const mesh_layer& l) {
    std::vector<corner_list> out;
    for (index_t p = 0; p < l.polygon_count(); ++p) {
        corner_list c;
        for (const index_t i : l.polygon_points(p)) c.push_back({l.point(i)[0], l.point(i)[1], l.point(i)[2]});
        out.push_back(c);
    }
    return out;
}

// Polygons given by indices into a point table.
std::vector<corner_list> expected(const std::vector<std::array<double, 3>>& pts,
                                  const std::vector<std::vector<int>>& faces, std::array<double, 3> shift = {}) {
    std::vector<corner_list> out;
    for (const auto& f : faces) {
        corner_list c;
        for (const int i : f) c.push_back({pts[i][0] + shift[0], pts[i][1] + shift[1], pts[i][2] + shift[2]});
        out.push_back(c);
    }
    return out;
}

// A square pyramid standing on y = 0: quad base, four triangles.
const std::vector<std::array<double, 3>> k_pyramid_points = {
    {-1, 0, -1}, {1, 0, -1}, {1, 0, 1}, {-1, 0, 1}, {0, 2, 0}};
const std::vector<std::vector<int>> k_pyramid_faces = {{0, 1, 2, 3}, {3, 2, 4}, {2, 1, 4}, {1, 0, 4}, {0, 3, 4}};

std::string pyramid_text(const char* vertex_prefix, const char* face_prefix, bool count_first) {
    std::string s;
    for (const auto& p : k_pyramid_points)
        s += vertex_prefix + std::to_string(p[0]) + " " + std::to_string(p[1]) + " " + std::to_string(p[2]) + "\n";
    for (const auto& f : k_pyramid_faces) {
        s += face_prefix;
        if (count_first) s += std::to_string(f.size());
        for (const int i : f) s += " " + std::to_string(count_first ? i : i + 1);
        s += "\n";
    }
    return s;
}

std::string base64(const std::string& bytes) {
    static const char* k = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        std::uint32_t v = std::uint32_t(std::uint8_t(bytes[i])) << 16;
        if (i + 1 < bytes.size()) v |= std::uint32_t(std::uint8_t(bytes[i + 1])) << 8;
        if (i + 2 < bytes.size()) v |= std::uint8_t(bytes[i + 2]);
        out += k[v >> 18];
        out += k[(v >> 12) & 63];
        out += i + 1 < bytes.size() ? k[(v >> 6) & 63] : '=';
        out += i + 2 < bytes.size() ? k[v & 63] : '=';
    }
    return out;
}

template <class T>
void put_le(std::string& s, T v) {
    static_assert(std::endian::native == std::endian::little);
    s.append(reinterpret_cast<const char*>(&v), sizeof v);
}

// Two nodes instancing one two-triangle mesh, translated (1, 0, 0) and (0, 3, 0).
std::string gltf_quad(std::uint64_t accessor_count = 4) {
    std::string buf;
    const float quad[4][3] = {{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}};
    for (const auto& p : quad)
        for (const float c : p) put_le(buf, c);
    for (const std::uint16_t i : {0, 1, 2, 0, 2, 3}) put_le(buf, i);
    return R"({"asset":{"version":"2.0"},"scene":0,"scenes":[{"nodes":[0,1]}],
"nodes":[{"mesh":0,"translation":[1,0,0]},{"mesh":0,"translation":[0,3,0]}],
"meshes":[{"primitives":[{"attributes":{"POSITION":0},"indices":1}]}],
"accessors":[{"bufferView":0,"componentType":5126,"count":)" +
           std::to_string(accessor_count) + R"(,"type":"VEC3","min":[0,0,0],"max":[1,1,0]},
{"bufferView":1,"componentType":5123,"count":6,"type":"SCALAR"}],
"bufferViews":[{"buffer":0,"byteOffset":0,"byteLength":48},{"buffer":0,"byteOffset":48,"byteLength":12}],
"buffers":[{"byteLength":60,"uri":"data:application/octet-stream;base64,)" +
           base64(buf) + R"("}]})";
}

// A cube, counter-clockwise seen from outside (right-handed, +Y up).
const std::vector<std::array<double, 3>> k_cube_points = {{-1, -1, -1}, {1, -1, -1}, {1, 1, -1}, {-1, 1, -1},
                                                          {-1, -1, 1},  {1, -1, 1},  {1, 1, 1},  {-1, 1, 1}};
const std::vector<std::vector<int>> k_cube_faces = {{0, 3, 2, 1}, {4, 5, 6, 7}, {0, 1, 5, 4},
                                                    {2, 3, 7, 6}, {1, 2, 6, 5}, {0, 4, 7, 3}};

// The same cube as LightWave stores it: left-handed (z negated), each
// polygon's corners reversed.
std::string lwo_cube() {
    auto u2 = [](std::string& s, unsigned v) { s += char(v >> 8), s += char(v & 255); };
    auto u4 = [&](std::string& s, std::uint32_t v) { u2(s, v >> 16), u2(s, v & 0xFFFF); };
    auto f4 = [&](std::string& s, float v) { u4(s, std::bit_cast<std::uint32_t>(v)); };
    auto chunk = [&](const char* id, const std::string& data) {
        std::string c(id, 4);
        u4(c, std::uint32_t(data.size()));
        return c + data;
    };
    const std::string name("Default\0", 8);
    std::string layr;
    for (int i = 0; i < 8; ++i) layr += '\0';  // number, flags, pivot x
    for (int i = 0; i < 10; ++i) layr += '\0';  // pivot y, z, empty name
    std::string pnts, pols = "FACE", ptag = "SURF";
    for (const auto& p : k_cube_points) f4(pnts, float(p[0])), f4(pnts, float(p[1])), f4(pnts, float(-p[2]));
    for (std::size_t f = 0; f < k_cube_faces.size(); ++f) {
        u2(pols, unsigned(k_cube_faces[f].size()));
        for (auto i = k_cube_faces[f].rbegin(); i != k_cube_faces[f].rend(); ++i) u2(pols, unsigned(*i));
        u2(ptag, unsigned(f)), u2(ptag, 0);
    }
    const std::string body = "LWO2" + chunk("TAGS", name) + chunk("LAYR", layr) + chunk("PNTS", pnts) +
                             chunk("POLS", pols) + chunk("PTAG", ptag) + chunk("SURF", name + std::string(2, '\0'));
    std::string file = "FORM";
    u4(file, std::uint32_t(body.size()));
    return file + body;
}

std::string cube_obj() {
    std::string s;
    for (const auto& p : k_cube_points)
        s += "v " + std::to_string(p[0]) + " " + std::to_string(p[1]) + " " + std::to_string(p[2]) + "\n";
    for (const auto& f : k_cube_faces) {
        s += "f";
        for (const int i : f) s += " " + std::to_string(i + 1);
        s += "\n";
    }
    return s;
}

TEST(CrownReader, ReadsEachFormatKeepingPolygonAndPointOrder) {
    test::scratch_dir dir;
    const auto pyramid = expected(k_pyramid_points, k_pyramid_faces);
    const std::string ply = "ply\nformat ascii 1.0\nelement vertex 5\nproperty float x\nproperty float y\n"
                            "property float z\nelement face 5\nproperty list uchar int vertex_indices\nend_header\n" +
                            pyramid_text("", "", true);
    std::string dae_p, dae_vcount;
    for (const auto& f : k_pyramid_faces) {
        dae_vcount += std::to_string(f.size()) + " ";
        for (const int i : f) dae_p += std::to_string(i) + " ";
    }
    std::string dae_points;
    for (const auto& p : k_pyramid_points)
        dae_points += std::to_string(p[0]) + " " + std::to_string(p[1]) + " " + std::to_string(p[2]) + " ";
    const std::string dae =
        R"(<?xml version="1.0" encoding="utf-8"?>
<COLLADA xmlns="http://www.collada.org/2005/11/COLLADASchema" version="1.4.1">
<asset><unit meter="1" name="meter"/><up_axis>Y_UP</up_axis></asset>
<library_geometries><geometry id="g" name="g"><mesh>
<source id="p"><float_array id="pa" count="15">)" +
        dae_points + R"(</float_array>
<technique_common><accessor source="#pa" count="5" stride="3"><param name="X" type="float"/>
<param name="Y" type="float"/><param name="Z" type="float"/></accessor></technique_common></source>
<vertices id="v"><input semantic="POSITION" source="#p"/></vertices>
<polylist count="5"><input semantic="VERTEX" source="#v" offset="0"/><vcount>)" +
        dae_vcount + "</vcount><p>" + dae_p + R"(</p></polylist>
</mesh></geometry></library_geometries>
<library_visual_scenes><visual_scene id="s"><node id="n"><instance_geometry url="#g"/></node></visual_scene>
</library_visual_scenes><scene><instance_visual_scene url="#s"/></scene></COLLADA>
)";
    mesh_layer layer;
    for (const char* name : {"crown.obj", "CROWN.OBJ"}) {
        read_crown(dir.write(name, pyramid_text("v ", "f", false)), layer, crown_up::y);
        EXPECT_EQ(corners(layer), pyramid) << name;
        EXPECT_EQ(layer.point_count(), 5u) << name;
    }
    read_crown(dir.write("crown.ply", ply), layer, crown_up::y);
    EXPECT_EQ(corners(layer), pyramid);
    read_crown(dir.write("crown.dae", dae), layer, crown_up::y);
    EXPECT_EQ(corners(layer), pyramid);

    read_crown(dir.write("crown.stl",
                         "solid s\nfacet normal 0 0 1\nouter loop\nvertex 0 0 0\nvertex 1 0 0\nvertex 1 1 0\n"
                         "endloop\nendfacet\nfacet normal 0 0 1\nouter loop\nvertex 0 0 0\nvertex 1 1 0\n"
                         "vertex 0 1 0\nendloop\nendfacet\nendsolid s\n"),
               layer, crown_up::y);
    const std::vector<std::array<double, 3>> quad = {{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}};
    EXPECT_EQ(corners(layer), expected(quad, {{0, 1, 2}, {0, 2, 3}}));

    read_crown(dir.write("crown.gltf", gltf_quad()), layer, crown_up::y);
    auto want = expected(quad, {{0, 1, 2}, {0, 2, 3}}, {1, 0, 0});
    for (auto& c : expected(quad, {{0, 1, 2}, {0, 2, 3}}, {0, 3, 0})) want.push_back(c);
    EXPECT_EQ(corners(layer), want);
    for (index_t p = 0; p < layer.polygon_count(); ++p) {
        EXPECT_EQ(layer.polygon_type(p), LWPOLTYPE_FACE);
        EXPECT_EQ(layer.polygon_surface(p), k_none);
    }
}

TEST(CrownReader, ZUpTurnsZIntoY) {
    test::scratch_dir dir;
    mesh_layer layer;
    read_crown(dir.write("z.obj", "v 1 2 3\nv 4 5 6\nv 7 8 9\nf 1 2 3\n"), layer, crown_up::z);
    EXPECT_EQ(corners(layer), (std::vector<corner_list>{{{1, 3, -2}, {4, 6, -5}, {7, 9, -8}}}));
    read_crown(dir.write("z.gltf", gltf_quad()), layer, crown_up::z);
    ASSERT_EQ(layer.polygon_count(), 4u);
    EXPECT_EQ(corners(layer)[2][1], (std::array<double, 3>{1, 0, -3}));  // (1, 3, 0) of the second node
}

TEST(CrownReader, LwoComesInRightHandedWithOutwardNormals) {
    test::scratch_dir dir;
    mesh_layer obj, lwo;
    read_crown(dir.write("cube.obj", cube_obj()), obj, crown_up::y);
    read_crown(dir.write("cube.lwo", lwo_cube()), lwo, crown_up::y);
    ASSERT_EQ(lwo.polygon_count(), obj.polygon_count());
    const auto a = corners(obj), b = corners(lwo);
    for (index_t p = 0; p < obj.polygon_count(); ++p) {
        double na[3], nb[3];
        ASSERT_TRUE(app::standin_host::newell_normal(obj, p, na));
        ASSERT_TRUE(app::standin_host::newell_normal(lwo, p, nb));
        EXPECT_EQ(std::vector<double>(na, na + 3), std::vector<double>(nb, nb + 3)) << "polygon " << p;
        // Same corners, same cyclic order.
        ASSERT_EQ(b[p].size(), a[p].size());
        std::size_t shift = 0;
        while (shift < a[p].size() && b[p][shift] != a[p][0]) ++shift;
        for (std::size_t k = 0; k < a[p].size(); ++k) EXPECT_EQ(b[p][(k + shift) % a[p].size()], a[p][k]);
    }
}

TEST(CrownReader, RefusesBadFilesWithOneLineNamingTheFile) {
    test::scratch_dir dir;
    std::mt19937 gen(7);
    std::string junk(4096, '\0');
    for (char& c : junk) c = char(gen());
    const std::string ply_head = "ply\nformat ascii 1.0\nelement vertex 3\nproperty float x\nproperty float y\n"
                                 "property float z\nelement face 1\nproperty list uchar int vertex_indices\nend_header\n";
    std::string short_stl(80, ' ');
    put_le(short_stl, std::uint32_t(1000));  // 1000 triangles promised, none present
    struct bad_file {
        const char* name;
        std::string text;
        const char* reason;
    };
    const bad_file cases[] = {
        {"empty.ply", "", "empty file"},
        {"junk.ply", junk, "cannot read crown"},
        {"junk.stl", junk, "cannot read crown"},
        {"junk.glb", junk, "cannot read crown"},
        {"short.stl", short_stl, "cannot read crown"},
        {"huge.ply",
         "ply\nformat ascii 1.0\nelement vertex 1000000000000\nproperty float x\nproperty float y\n"
         "property float z\nelement face 1\nproperty list uchar int vertex_indices\nend_header\n"
         "0 0 0\n1 0 0\n0 1 0\n3 0 1 2\n",
         "exceeds the file's size"},
        {"nan.ply", ply_head + "0 0 0\n1 nan 0\n0 1 0\n3 0 1 2\n", "non-finite"},
        {"nan.obj", "v 0 0 0\nv 1 nan 0\nv 0 1 0\nf 1 2 3\n", "non-finite"},
        {"range.ply", ply_head + "0 0 0\n1 0 0\n0 1 0\n3 0 1 7\n", "out of range"},
    };
    for (const bad_file& c : cases) {
        const std::string path = dir.write(c.name, c.text);
        mesh_layer layer;
        layer.add_point(1, 2, 3);
        std::string message = "no error";
        try {
            read_crown(path, layer, crown_up::y);
        } catch (const std::runtime_error& e) {
            message = e.what();
        }
        EXPECT_EQ(message.rfind(path + ":", 0), 0u) << c.name << ": " << message;
        EXPECT_NE(message.find(c.reason), std::string::npos) << c.name << ": " << message;
        EXPECT_EQ(message.find('\n'), std::string::npos) << c.name << ": " << message;
        EXPECT_EQ(layer.point_count(), 0u) << c.name;
        EXPECT_EQ(layer.polygon_count(), 0u) << c.name;
    }
    mesh_layer layer;
    EXPECT_THROW(read_crown(dir.file("missing.ply"), layer, crown_up::y), io_error);
}

}  // namespace
}  // namespace sf::formats
