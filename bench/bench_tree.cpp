// Growth, mesh output and whole-program runs. Each case reports its size as
// counters; bench/run runs every case in a process of its own for peak memory.
#include <benchmark/benchmark.h>

#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/default_crown.h"
#include "app/standin_host.h"
#include "core/background.h"
#include "core/branch.h"
#include "core/build.h"
#include "core/node_index.h"
#include "formats/edit_log.h"
#include "formats/gltf_writer.h"
#include "formats/lwo2_writer.h"
#include "formats/memory_budget.h"
#include "formats/obj_writer.h"
#include "formats/subdivide_stages.h"
#include "mesh/output.h"
#include "plugin/build.h"

namespace {

using namespace sf;

settings_typ tree_settings(int branches, int segments, int sub) {
    settings_typ r;
    reset_to_defaults(r);
    r.hidden = 1;
    r.branches = branches;
    r.segments = segments;
    r.sub_segments = sub;
    return r;
}

// The largest polygonal tree: twigs of 9 segments on every node, ten leaves each.
settings_typ largest_settings() {
    settings_typ r = tree_settings(2000, 25, 6);
    r.render_type = 1;
    r.twig_type = 1;
    r.twig_coverage = 1.0;
    r.twig_range = 1.0;
    r.twig_segments = 9;
    r.leaf_shape = 1;
    r.leaf_density = 10;
    r.leaf_growth = 1;
    return r;
}

// Captures the default crown into the background table once per process.
void capture_default_crown() {
    static app::standin_host host;
    static bool done = false;
    if (done) return;
    app::make_default_crown(host.background());
    MeshEditOp op = host.edit_op();
    settings_typ r = tree_settings(2, 4, 1);
    r.render_type = 99;  // grow only
    build_callback(&r, &op);
    done = true;
}

double count_nodes() {
    double n = 0;
    for (std::int32_t i = 0; i < branch_table_size; ++i)
        for (const wezel_typ* w = branch_table[i].head; w; w = w->next) ++n;
    return n;
}

void grow(benchmark::State& state, settings_typ r, bool reference) {
    capture_default_crown();
    g_reference_search = reference;
    for (auto _ : state) {
        r.trunks = 1;
        generate(r, nullptr, 0);
    }
    g_reference_search = false;
    state.counters["nodes"] = count_nodes();
}

void BM_grow_default(benchmark::State& s) { grow(s, tree_settings(150, 8, 2), false); }
void BM_grow_default_reference(benchmark::State& s) { grow(s, tree_settings(150, 8, 2), true); }
void BM_grow(benchmark::State& s) {
    grow(s, tree_settings(static_cast<int>(s.range(0)), 25, 6), false);
}
void BM_grow_reference(benchmark::State& s) {
    grow(s, tree_settings(static_cast<int>(s.range(0)), 25, 6), true);
}

BENCHMARK(BM_grow_default)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_grow_default_reference)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_grow)->Arg(500)->Arg(1000)->Arg(2000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_grow_reference)->Arg(500)->Arg(1000)->Arg(2000)->Iterations(1)->Unit(benchmark::kMillisecond);

// Tree M: 2000 branches of 25 segments, polygonal with twigs and one-poly leaves.
settings_typ tree_m_settings() {
    settings_typ r = tree_settings(2000, 25, 6);
    r.render_type = 1;
    r.twig_type = 1;
    r.leaf_shape = 1;
    return r;
}

// Mesh output of the largest polygonal tree into the stand-in host, as the
// program's build keeps it (no edit history).
void BM_mesh_largest(benchmark::State& state) {
    capture_default_crown();
    settings_typ r = largest_settings();
    generate(r, nullptr, 0);
    double points = 0, polygons = 0;
    for (auto _ : state) {
        app::standin_host host;
        host.foreground().keep_history(false);
        MeshEditOp op = host.edit_op();
        mesh_output(&op, r);
        points = host.foreground().point_count();
        polygons = host.foreground().polygon_count();
        state.PauseTiming();  // freeing the layers is not output
        {
            app::standin_host discard;
            std::swap(discard.foreground(), host.foreground());
        }
        state.ResumeTiming();
    }
    state.counters["points"] = points;
    state.counters["polygons"] = polygons;
    state.counters["points_per_s"] = benchmark::Counter(points, benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_mesh_largest)->Iterations(1)->Unit(benchmark::kMillisecond);

// A sink that counts and keeps nothing, so a writer's own time shows.
struct counting_sink final : formats::byte_sink {
    void write(std::string_view bytes) override { size += bytes.size(); }
    std::size_t size = 0;
};

double peak_rss_bytes() {
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return double(u.ru_maxrss) * 1024.0;
}

// One build in stages, each timed on its own: growth, mesh output into the
// program's host, the non-finite check, then every writer into a sink that
// keeps nothing. Peak memory per point is taken after the mesh output
// (what a build holds) and at the end. One pass: the stages are seconds long.
void stages(benchmark::State& state, settings_typ r, bool edit_log) {
    capture_default_crown();
    using clock = std::chrono::steady_clock;
    auto seconds = [](clock::time_point a) { return std::chrono::duration<double>(clock::now() - a).count(); };
    for (auto _ : state) {
        auto t = clock::now();
        generate(r, nullptr, 0);
        state.counters["s_growth"] = seconds(t);
        app::standin_host host;
        host.foreground().keep_history(edit_log);
        MeshEditOp op = host.edit_op();
        t = clock::now();
        mesh_output(&op, r);
        const double mesh_s = seconds(t);
        const formats::mesh_layer& fg = host.foreground();
        const double points = fg.point_count();
        state.counters["s_mesh_output"] = mesh_s;
        state.counters["points"] = points;
        state.counters["polygons"] = fg.polygon_count();
        state.counters["points_per_s"] = points / mesh_s;
        state.counters["peak_bytes_per_point_built"] = peak_rss_bytes() / points;
        state.counters["layer_bytes_per_point"] = double(formats::memory_budget::held()) / points;
        t = clock::now();
        if (!formats::first_non_finite(fg).empty()) state.SkipWithError("non-finite tree");
        state.counters["s_finite_check"] = seconds(t);
        auto writer = [&](const char* name, auto write) {
            counting_sink sink;
            const auto w = clock::now();
            try {
                write(sink);
            } catch (const formats::io_error&) {
                return;  // the format cannot hold the tree (LWO2 past 2^24 points)
            }
            state.counters[std::string("s_") + name] = seconds(w);
            state.counters[std::string("mb_") + name] = double(sink.size) / 1e6;
        };
        writer("glb", [&](counting_sink& sink) { formats::write_glb(fg, sink); });
        writer("obj", [&](counting_sink& sink) { formats::write_obj(fg, sink); });
        writer("lwo", [&](counting_sink& sink) { formats::write_lwo2(fg, sink); });
        if (edit_log) writer("edits", [&](counting_sink& sink) { formats::write_edit_log(fg, sink); });
        state.counters["peak_bytes_per_point"] = peak_rss_bytes() / points;
    }
}

void BM_stages_tree_m(benchmark::State& s) { stages(s, tree_m_settings(), false); }
void BM_stages_tree_m_edit_log(benchmark::State& s) { stages(s, tree_m_settings(), true); }
void BM_stages_largest(benchmark::State& s) { stages(s, largest_settings(), false); }
BENCHMARK(BM_stages_tree_m)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_stages_tree_m_edit_log)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_stages_largest)->Iterations(1)->Unit(benchmark::kMillisecond);

// Subdivision of a tree of patch cages (twigs on), two levels, each stage
// timed on its own: finding and planning the cages, gathering the coarse
// topology and values, OpenSubdiv's refinement, assembling the new layer.
void BM_subdivide_stages(benchmark::State& state) {
    capture_default_crown();
    settings_typ r = tree_settings(300, 12, 2);
    r.render_type = 2;
    r.twig_type = 1;
    generate(r, nullptr, 0);
    app::standin_host host;
    host.foreground().keep_history(false);
    MeshEditOp op = host.edit_op();
    mesh_output(&op, r);
    const formats::mesh_layer& fg = host.foreground();
    constexpr int levels = 2;
    using clock = std::chrono::steady_clock;
    auto seconds = [](clock::time_point a) { return std::chrono::duration<double>(clock::now() - a).count(); };
    double s_classify = 0, s_gather = 0, s_refine = 0, s_assemble = 0, points = 0;
    for (auto _ : state) {
        namespace sd = formats::subdivision;
        auto t = clock::now();
        sd::cage_plan plan = sd::find_cages(fg);
        sd::plan_cages(fg, plan);
        s_classify += seconds(t);
        t = clock::now();
        sd::coarse_cages coarse = sd::gather_cages(fg, plan);
        s_gather += seconds(t);
        t = clock::now();
        sd::refined_cages refined = sd::refine_cages(fg, plan, coarse, levels);
        s_refine += seconds(t);
        t = clock::now();
        const formats::mesh_layer out = sd::assemble_layer(fg, plan, refined);
        s_assemble += seconds(t);
        points = out.point_count();
    }
    const double n = double(state.iterations());
    state.counters["cages"] = double(formats::subdivision::find_cages(fg).cage_count);
    state.counters["points"] = points;
    state.counters["s_classify"] = s_classify / n;
    state.counters["s_gather"] = s_gather / n;
    state.counters["s_refine"] = s_refine / n;
    state.counters["s_assemble"] = s_assemble / n;
}
BENCHMARK(BM_subdivide_stages)->Unit(benchmark::kMillisecond);

// A host that keeps nothing: every call returns at once, ids are distinct and
// non-null. Measures the plug-in's own output path.
namespace null_host {
std::uintptr_t next_id = 0;
LWPntID add_point(EDStateRef, const double*) { return reinterpret_cast<LWPntID>(++next_id); }
LWPolID add_face(EDStateRef, const char*, int, const LWPntID*) { return reinterpret_cast<LWPolID>(++next_id); }
LWPolID add_poly(EDStateRef, LWID, LWPolID, const char*, int, const LWPntID*) {
    return reinterpret_cast<LWPolID>(++next_id);
}
int pol_tag(EDStateRef, LWPolID, LWID, const char*) { return 1; }
int pnt_vmap(EDStateRef, LWPntID, LWID, const char*, int, const float*) { return 1; }
int pnt_vpmap(EDStateRef, LWPntID, LWPolID, LWID, const char*, int, const float*) { return 1; }
std::uintptr_t points = 0;
LWPntID count_point(EDStateRef s, const double* xyz) {
    ++points;
    return add_point(s, xyz);
}

MeshEditOp edit_op() {
    MeshEditOp op{};
    op.addPoint = count_point;
    op.addFace = add_face;
    op.addPoly = add_poly;
    op.polTag = pol_tag;
    op.pntVMap = pnt_vmap;
    op.pntVPMap = pnt_vpmap;
    return op;
}
}  // namespace null_host

// Mesh output of the largest polygonal tree into a host that keeps nothing.
void BM_mesh_null_host(benchmark::State& state) {
    capture_default_crown();
    settings_typ r = largest_settings();
    generate(r, nullptr, 0);
    double points = 0;
    for (auto _ : state) {
        MeshEditOp op = null_host::edit_op();
        null_host::points = 0;
        mesh_output(&op, r);
        points = static_cast<double>(null_host::points);
    }
    state.counters["points"] = points;
    state.counters["points_per_s"] = benchmark::Counter(points, benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_mesh_null_host)->Iterations(2)->Unit(benchmark::kMillisecond);

// The whole program on the default crown, writing an OBJ.
void BM_program_default(benchmark::State& state) {
    const std::string out = "/tmp/sylvaform-bench-" + std::to_string(::getpid());
    const std::string cmd = std::string("'") + SF_PROGRAM + "' build -o '" + out + ".obj' 2>/dev/null";
    for (auto _ : state)
        if (std::system(cmd.c_str()) != 0) state.SkipWithError("sylvaform build failed");
    std::remove((out + ".obj").c_str());
    std::remove((out + ".mtl").c_str());
}
BENCHMARK(BM_program_default)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

// The whole program on a polygonal tree with twigs and leaves, written as a
// textured .glb and .obj (with its library and images).
void BM_program_textured(benchmark::State& state) {
    const std::string out = "/tmp/sylvaform-bench-" + std::to_string(::getpid());
    const std::string cmd = std::string("'") + SF_PROGRAM +
                            "' build --set render_type=1 --set twig_type=1 --set leaf_shape=2 -o '" + out +
                            ".glb' -o '" + out + ".obj' 2>/dev/null";
    for (auto _ : state)
        if (std::system(cmd.c_str()) != 0) state.SkipWithError("sylvaform build failed");
    for (const char* ext : {".glb", ".obj", ".mtl", "_bark_color.png", "_leaf_atlas.png"}) std::remove((out + ext).c_str());
}
BENCHMARK(BM_program_textured)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

}  // namespace

BENCHMARK_MAIN();
