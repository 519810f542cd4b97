// The help sentences: one for every control a person sees, matching the
// live panel's labels and the --set field names, and the same in the README.
#include <gtest/gtest.h>

#include <set>

#include "app/control_help.h"
#include "app/host_services.h"
#include "app/tool_host.h"
#include "core/settings_fields.h"
#include "scratch_dir.h"

namespace sf::app {
namespace {

TEST(ControlHelp, EveryShownControlHasOneMatchingSentence) {
    reset_host();
    host().progress_on_terminal = false;
    {
        plugin_module module(SF_MODULE);
        tool_session session(module);
        const xpanel& panel = session.panel();
        std::set<unsigned> shown;
        for (const xpanel::control& c : panel.controls) {
            if (c.control_class == "sInfo" || c.label == "--hidden--") continue;
            shown.insert(c.id);
            EXPECT_NE(help_for(c.id), nullptr) << c.label << " has no help";
        }
        std::set<unsigned> seen;
        for (const control_help& h : control_help_table()) {
            EXPECT_TRUE(seen.insert(h.id).second) << h.label << " twice";
            EXPECT_TRUE(shown.count(h.id)) << h.label << " is not a shown control";
            const xpanel::control* c = panel.find_control(h.id);
            ASSERT_NE(c, nullptr) << h.label;
            EXPECT_EQ(c->label, h.label);
            if (c->control_class == "vButton") {
                EXPECT_STREQ(h.field, "");
            } else {
                const field_desc* f = find_field(h.field);
                ASSERT_NE(f, nullptr) << h.field;
                EXPECT_EQ(f->id, h.id) << h.field;
            }
            const std::string text = h.text;
            EXPECT_TRUE(!text.empty() && text.back() == '.' && text.find('|') == std::string::npos) << text;
        }
        session.finish();
    }
    reset_host();
}

// The README's table is the program's table; when it drifts the test
// writes the table to paste to control-help.md in the working directory.
TEST(ControlHelp, ReadmeTableIsTheProgramsTable) {
    const std::string readme = test::slurp(SF_TEST_DATA_DIR "/../../README.md");
    const std::string table = control_help_markdown();
    if (readme.find(table) == std::string::npos) {
        std::ofstream("control-help.md") << table;
        ADD_FAILURE() << "README.md lacks the controls table; the current one is in control-help.md";
    }
}

using PanelExplain = test::program_test;

TEST_F(PanelExplain, SentencesStandUnderTheirControls) {
    ASSERT_EQ(run("panel --explain"), 0) << err();
    const std::string text = out();
    const std::size_t branches = text.find("    Branches ");
    ASSERT_NE(branches, std::string::npos) << text;
    EXPECT_EQ(text.find("        How many branches grow", branches), text.find('\n', branches) + 1) << text;
    ASSERT_EQ(run("panel"), 0);
    EXPECT_EQ(out().find("How many branches"), std::string::npos);
}

}  // namespace
}  // namespace sf::app
