// The settings record: defaults, the panel id map and the regeneration level rule.
#include <gtest/gtest.h>

#include <cstring>

#include "core/settings.h"

using sf::settings_typ;

TEST(Settings, DefaultsAndReset) {
    settings_typ r;
    std::memset(&r, 0x5A, sizeof r);
    sf::reset_to_defaults(r);  // overwrites every byte, padding included
    EXPECT_EQ(std::memcmp(&r, &sf::k_default_settings, sizeof r), 0);
}

TEST(Settings, PanelIdMap) {
    settings_typ r{};
    // The two spare fields are easily swapped.
    EXPECT_EQ(sf::field_lookup(r, 0x8005), &r.spare_ratio);
    EXPECT_EQ(sf::field_lookup(r, 0x802C), &r.spare_factor);
    for (std::uint32_t none : {0x801Eu, 0x801Fu, 0x8026u, 0x8027u, 0x8006u, 0x8001u, 0x804Bu, 0u})
        EXPECT_EQ(sf::field_lookup(r, none), nullptr) << std::hex << none;
    // Every named field addresses its own bytes and can be found by name.
    for (const sf::field_desc& f : sf::field_table()) {
        EXPECT_EQ(sf::find_field(f.name), &f);
        if (f.id) {
            EXPECT_EQ(sf::field_lookup(r, f.id), reinterpret_cast<char*>(&r) + f.offset);
        }
    }
    EXPECT_EQ(sf::find_field("no_such_field"), nullptr);
}

TEST(Settings, LevelRule) {
    // The first request after a build replaces the level outright (0 → 2),
    // then the lowest wins.
    settings_typ r{};
    sf::reset_to_defaults(r);
    r.regen_level = 0;
    sf::first_edit_pending = 1;
    const int requests[][2] = {{2, 2}, {1, 1}, {2, 1}, {0, 0}};  // request, level after
    for (const auto& q : requests) {
        sf::request_level(r, q[0]);
        EXPECT_EQ(r.regen_level, q[1]) << q[0];
    }
    EXPECT_EQ(sf::first_edit_pending, 0);
}
