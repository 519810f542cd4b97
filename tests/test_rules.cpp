// Helpers that give a rule one home: the unit table and the output writer
// choice.
#include <gtest/gtest.h>

#include <numbers>

#include "app/control_units.h"
#include "app/host_services.h"
#include "app/preset_file.h"
#include "app/panel_model.h"
#include "app/settings_args.h"
#include "formats/crown_wire.h"
#include "formats/edit_log.h"
#include "formats/file_io.h"
#include "formats/gltf_writer.h"
#include "formats/lwo2_writer.h"
#include "formats/materials.h"
#include "formats/obj_writer.h"
#include "formats/outputs.h"
#include "mesh/tubes.h"
#include "scratch_dir.h"

namespace sf {
namespace {

// The page reads the same scales the program converts with.
TEST(ControlUnits, SameArithmeticEverywhere) {
    const app::control_unit* angle = app::unit_of_class("angle");
    const app::control_unit* percent = app::unit_of_class("percent");
    ASSERT_TRUE(angle && percent);
    EXPECT_EQ(app::unit_of_field(field_unit::angle), angle);
    EXPECT_EQ(app::unit_of_class("distance"), nullptr);
    EXPECT_EQ(app::to_shown(nullptr, 0.1), 0.1);
    EXPECT_EQ(app::bound_to_shown(angle, 90), 90);
    EXPECT_EQ(app::bound_to_shown(percent, 0.5), 50);
    const nlohmann::json page = app::units_json();
    EXPECT_EQ(page["angle"]["shown_scale"].get<double>() / page["angle"]["stored_scale"].get<double>(),
              180 / std::numbers::pi);
    EXPECT_EQ(page["percent"]["sign"], "%");
}

// A tree with tubes, twigs and leaves as a golden log has it.
const char* const k_tree_log = SF_TEST_DATA_DIR "/subd_up_twigs.edits";

formats::mesh_layer default_tree() {
    formats::mesh_layer layer;
    layer.keep_history(true);
    formats::read_edit_log(test::slurp(k_tree_log), "subd_up_twigs.edits", layer);
    return layer;
}

TEST(WriteOutputs, StreamsMatchTheWriters) {
    const formats::mesh_layer tree = default_tree();
    ASSERT_GT(tree.polygon_count(), 0u);
    const formats::output_layers layers{tree, tree};
    auto through = [&](formats::mesh_format f) {
        formats::string_sink sink;
        formats::write_outputs(f, layers, {}, formats::output_place(sink, "tree.mtl"));
        return sink.text;
    };
    formats::string_sink obj, mtl, lwo, glb;
    formats::write_obj(tree, obj, "tree.mtl");
    formats::write_mtl(tree, mtl);
    formats::write_lwo2(tree, lwo);
    formats::write_glb(tree, glb);
    EXPECT_TRUE(through(formats::mesh_format::obj) == obj.text);
    EXPECT_TRUE(through(formats::mesh_format::mtl) == mtl.text);
    EXPECT_TRUE(through(formats::mesh_format::lwo) == lwo.text);
    EXPECT_TRUE(through(formats::mesh_format::glb) == glb.text);
}

TEST(WriteOutputs, FilesHoldWhatStreamsHold) {
    test::scratch_dir dir;
    const formats::mesh_layer tree = default_tree();
    const formats::output_layers layers{tree, tree};
    formats::file_set files;
    for (const char* name : {"t.glb", "t.lwo", "t.edits"}) {
        const std::string ext = std::string(name).substr(2);
        const formats::mesh_format f = ext == "glb"   ? formats::mesh_format::glb
                                       : ext == "lwo" ? formats::mesh_format::lwo
                                                      : formats::mesh_format::edit_log;
        formats::write_outputs(f, layers, {}, formats::output_place(files, dir.file(name)));
    }
    formats::write_outputs(formats::mesh_format::obj, layers, {}, formats::output_place(files, dir.file("t.obj")));
    files.commit();
    formats::string_sink glb, lwo;
    formats::write_glb(tree, glb, {nullptr, false, "t"});  // names carry the file's stem
    formats::write_lwo2(tree, lwo);
    EXPECT_TRUE(test::slurp(dir.file("t.glb")) == glb.text);
    EXPECT_TRUE(test::slurp(dir.file("t.lwo")) == lwo.text);
    EXPECT_TRUE(test::slurp(dir.file("t.edits")) == test::slurp(k_tree_log));
    EXPECT_FALSE(test::slurp(dir.file("t.mtl")).empty());
}

}  // namespace
}  // namespace sf
