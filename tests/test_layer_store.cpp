// The layer store's dense map values, its arrays and the history switch.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

#include "formats/big_buffer.h"
#include "formats/edit_log.h"
#include "formats/file_io.h"
#include "formats/mesh_layer.h"
#include "formats/subdivide.h"

namespace sf::formats {
namespace {

mesh_layer points(index_t n, bool history) {
    mesh_layer l;
    l.keep_history(history);
    for (index_t i = 0; i < n; ++i) l.add_point(i, 0, 0);
    return l;
}

TEST(LayerStore, ValuesInAnyPointOrderReadBackLatestFirst) {
    for (const bool history : {true, false}) {
        mesh_layer l = points(300, history);
        const index_t uv = l.find_or_add_map(LWVMAP_TXUV, "uv", 2);
        const index_t w = l.find_or_add_map(LWVMAP_WGHT, "w", 1);
        const float a[2] = {1, 2}, b[2] = {3, 4}, c[2] = {5, 6};
        l.add_value(200, k_none, uv, a);  // the map starts late ...
        l.add_value(3, k_none, uv, b);    // ... and a point below it moves it down
        l.add_value(299, k_none, uv, c);
        l.add_value(200, k_none, uv, c);  // the later value wins
        ASSERT_NE(l.point_value(uv, 3), nullptr);
        EXPECT_EQ(l.point_value(uv, 3)[1], 4.0f);
        EXPECT_EQ(l.point_value(uv, 200)[0], 5.0f);
        EXPECT_EQ(l.point_value(uv, 299)[1], 6.0f);
        EXPECT_EQ(l.point_value(uv, 199), nullptr);
        EXPECT_EQ(l.point_value(uv, 0), nullptr);
        EXPECT_FALSE(l.has_point_values(w));
        EXPECT_EQ(l.point_value(w, 200), nullptr);
        EXPECT_EQ(l.point_value_calls(uv), 4u);
        EXPECT_EQ(l.point_values().size(), history ? 4u : 0u);
        if (history) {
            // The history has each call's own values, also those replaced since
            // (twice here), and its copy and edit log replay them.
            l.add_value(200, k_none, uv, b);
            const float want[5][2] = {{1, 2}, {3, 4}, {5, 6}, {5, 6}, {3, 4}};
            const point_value_history calls = l.point_values();
            ASSERT_EQ(calls.size(), 5u);
            for (std::size_t i = 0; i < 5; ++i) {
                const value_record r = calls[i];
                EXPECT_TRUE(r.v[0] == want[i][0] && r.v[1] == want[i][1]) << i;
            }
            string_sink log, again;
            write_edit_log(l, log);
            write_edit_log(copy_layer(l), again);
            EXPECT_NE(log.text.find("vmap 200 TXUV uv 1 2\n"), std::string::npos) << log.text;
            EXPECT_EQ(again.text, log.text);
        }
        EXPECT_THROW(l.add_value(300, k_none, uv, a), std::out_of_range);  // no such point
    }
}

TEST(LayerStore, NonFiniteValueFoundOnlyWhereAPointHasIt) {
    mesh_layer l = points(200, false);
    const index_t m = l.find_or_add_map(LWVMAP_WGHT, "w", 1);
    const float nan = std::numeric_limits<float>::quiet_NaN(), one = 1;
    l.add_value(100, k_none, m, &nan);
    l.add_value(3, k_none, m, &one);  // moves the values; a stale copy stays in an unset slot
    EXPECT_EQ(first_non_finite(l), "point 100 has nan in map w");
    l.add_value(100, k_none, m, &one);
    EXPECT_EQ(first_non_finite(l), "");
}

TEST(LayerStore, WithoutHistoryNoEditLogButCopiesAreWhole) {
    mesh_layer l = points(4, false);
    const index_t pts[] = {0, 1, 2, 3};
    const index_t p = l.add_polygon(LWPOLTYPE_FACE, l.strings().intern("S"), pts);
    l.add_tag(p, LWPTAG_COLR, l.strings().intern("Green"));
    const index_t m = l.find_or_add_map(LWVMAP_TXUV, "uv", 2);
    const float v[2] = {0.5f, 0.25f};
    l.add_value(2, k_none, m, v);
    l.add_value(1, p, m, v);
    EXPECT_TRUE(l.journal().empty());
    string_sink sink;
    EXPECT_THROW(write_edit_log(l, sink), std::logic_error);

    const mesh_layer copy = subdivide_patches(l, 0);
    EXPECT_FALSE(copy.keeps_history());
    ASSERT_EQ(copy.point_count(), 4u);
    ASSERT_EQ(copy.polygon_count(), 1u);
    EXPECT_EQ(copy.tags().size(), 1u);
    ASSERT_NE(copy.point_value(m, 2), nullptr);
    EXPECT_EQ(copy.point_value(m, 2)[1], 0.25f);
    EXPECT_EQ(copy.point_value(m, 1), nullptr);
    ASSERT_NE(copy.find_value(m, 1, 0), nullptr);
}

TEST(LayerStore, BigArrayKeepsItsContentsAcrossEveryGrowth) {
    big_array<std::uint32_t> a;
    const std::size_t n = 3 * k_mapped_from / sizeof(std::uint32_t);  // from the heap into a mapping
    for (std::uint32_t i = 0; i < n; ++i) a.push_back(i * 7u);
    bool same = true;
    for (std::uint32_t i = 0; i < n; ++i) same &= a[i] == i * 7u;
    EXPECT_TRUE(same);
    a.resize(10);
    a.resize(20);  // what a shrink left behind reads as zero again
    EXPECT_EQ(a[9], 63u);
    EXPECT_EQ(a[10], 0u);
    EXPECT_EQ(a[19], 0u);
    big_array<std::uint32_t> b = a;
    a.clear();
    EXPECT_EQ(b.size(), 20u);
    EXPECT_EQ(b[9], 63u);
}

// Text formatted in chunks on several threads is the text formatted in one go.
TEST(TextBuffer, ChunksInParallelGiveTheSameBytes) {
    const auto lines = [](std::size_t begin, std::size_t end, text_buffer& o) {
        for (std::size_t i = begin; i < end; ++i) {
            o.put_uint(i);
            o.put(' ');
            o.put_double(double(i) * 0.1);
            o.put('\n');
        }
    };
    string_sink whole, chunked;
    {
        text_buffer out(whole, 100);
        out.put("head\n");
        lines(0, 100000, out);
        out.flush();
    }
    {
        text_buffer out(chunked, 100);
        out.put("head\n");
        out.put_in_parallel(100000, 777, lines);
        out.flush();
    }
    EXPECT_EQ(whole.text, chunked.text);

    string_sink failed;
    text_buffer out(failed);
    EXPECT_THROW(out.put_in_parallel(10000, 100,
                                     [](std::size_t, std::size_t end, text_buffer&) {
                                         if (end > 5000) throw io_error("chunk failed");
                                     }),
                 io_error);
}

}  // namespace
}  // namespace sf::formats
