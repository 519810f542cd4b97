// The crown reader process and its answer: the layout checked whole, and a
// child that crashes, hangs, fails or answers nonsense turned into one line.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <netinet/in.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <limits>
#include <string>

#include "formats/crown_child.h"
#include "formats/crown_reader.h"
#include "formats/crown_wire.h"
#include "formats/file_io.h"
#include "scratch_dir.h"
#include "watchdog.h"

#if defined(__SANITIZE_ADDRESS__)
#define SF_ASAN_BUILD 1
#endif

namespace sf::formats {
namespace {

// The test program cannot be a reader; the real program is.
const bool g_reader_set = [] {
    set_crown_reader_program(SF_PROGRAM);
    return true;
}();


mesh_layer sample_layer() {
    mesh_layer l;
    for (int i = 0; i < 5; ++i) l.add_point(i, -0.5 * i, 1e9);
    const index_t quad[] = {0, 1, 2, 3}, tri[] = {3, 2, 4}, pair[] = {4, 0};
    l.add_polygon(LWPOLTYPE_FACE, k_none, quad);
    l.add_polygon(LWPOLTYPE_FACE, k_none, tri);
    l.add_polygon(LWPOLTYPE_FACE, k_none, pair);
    return l;
}

void put32(std::string& s, std::size_t at, std::uint32_t v) { std::memcpy(&s[at], &v, 4); }
void put64(std::string& s, std::size_t at, std::uint64_t v) { std::memcpy(&s[at], &v, 8); }
void put_double(std::string& s, std::size_t at, double v) { std::memcpy(&s[at], &v, 8); }

std::string decode_error(const std::string& bytes) {
    mesh_layer l;
    l.add_point(1, 2, 3);
    try {
        decode_crown_answer(bytes, l);
    } catch (const crown_wire_error& e) {
        EXPECT_EQ(l.point_count(), 0u);
        return e.what();
    }
    return "accepted";
}

TEST(CrownWire, PolygonsAndRefusalsComeBackAsSent) {
    const mesh_layer sent = sample_layer();
    mesh_layer got;
    const crown_answer a = decode_crown_answer(encode_crown_polygons(sent), got);
    EXPECT_EQ(a.kind, crown_answer_kind::polygons);
    ASSERT_EQ(got.point_count(), sent.point_count());
    ASSERT_EQ(got.polygon_count(), sent.polygon_count());
    for (index_t i = 0; i < sent.point_count(); ++i)
        for (int k = 0; k < 3; ++k) EXPECT_EQ(got.point(i)[k], sent.point(i)[k]);
    for (index_t p = 0; p < sent.polygon_count(); ++p) {
        const auto want = sent.polygon_points(p), have = got.polygon_points(p);
        EXPECT_EQ(std::vector<index_t>(have.begin(), have.end()), std::vector<index_t>(want.begin(), want.end()));
        EXPECT_EQ(got.polygon_type(p), LWPOLTYPE_FACE);
    }
    decode_crown_answer(encode_crown_polygons(mesh_layer()), got);
    EXPECT_EQ(got.point_count(), 0u);

    // Control bytes become spaces; the reason stays one line.
    const crown_answer r = decode_crown_answer(encode_crown_refusal(crown_answer_kind::refusal, "bad\nfile\x01"), got);
    EXPECT_EQ(r.kind, crown_answer_kind::refusal);
    EXPECT_EQ(r.reason, "bad file ");
    EXPECT_EQ(decode_crown_answer(encode_crown_refusal(crown_answer_kind::out_of_memory, std::string(2000, 'x')), got)
                  .reason.size(),
              512u);
}

TEST(CrownWire, EveryBrokenFieldIsRefusedBeforeTheLayerIsTouched) {
    const std::string good = encode_crown_polygons(sample_layer());
    // Header 24 bytes, counts 16, then 5 points (120 bytes), 3 sizes, 9 indices.
    const std::size_t counts = 24, xyz = 40, sizes = xyz + 120, ids = sizes + 12;
    ASSERT_EQ(good.size(), ids + 36);

    for (std::size_t n = 0; n < good.size(); ++n)
        EXPECT_NE(decode_error(good.substr(0, n)), "accepted") << "cut at " << n;
    EXPECT_NE(decode_error(good + "x"), "accepted");

    const auto broken = [&](auto&& change) {
        std::string s = good;
        change(s);
        return decode_error(s);
    };
    EXPECT_NE(broken([](std::string& s) { s[0] = 'X'; }).find("magic"), std::string::npos);
    EXPECT_NE(broken([](std::string& s) { put32(s, 8, 2); }).find("version"), std::string::npos);
    EXPECT_NE(broken([](std::string& s) { put32(s, 12, 7); }).find("kind"), std::string::npos);
    EXPECT_NE(broken([](std::string& s) { put64(s, 16, 1ull << 62); }).find("length"), std::string::npos);
    // Counts that disagree with the length, including ones that would
    // overflow a careless size computation.
    for (const std::uint32_t points : {4u, 6u, 0x40000000u, 0xFFFFFFFFu})
        EXPECT_NE(broken([&](std::string& s) { put32(s, counts, points); }), "accepted") << points;
    EXPECT_NE(broken([](std::string& s) { put64(s, counts + 8, 1ull << 62); }), "accepted");
    EXPECT_NE(broken([](std::string& s) { put64(s, counts + 8, 0x4000000000000009ull); }), "accepted");
    // Sizes: zero, or not adding up to the corner count.
    EXPECT_NE(broken([&](std::string& s) { put32(s, sizes, 0); }).find("no points"), std::string::npos);
    EXPECT_NE(broken([&](std::string& s) { put32(s, sizes, 5); }).find("add up"), std::string::npos);
    // Indices at and past the point count.
    for (const std::uint32_t bad : {5u, 0xFFFFFFFFu})
        EXPECT_NE(broken([&](std::string& s) { put32(s, ids + 32, bad); }).find("out of range"), std::string::npos);
    // Coordinates: non-finite, or beyond the bound.
    for (const double bad : {std::nan(""), double(INFINITY), -double(INFINITY), 1.0000001e9, -1e155})
        EXPECT_NE(broken([&](std::string& s) { put_double(s, xyz + 8 * 7, bad); }), "accepted") << bad;
    // A refusal must be a printable line of 1..512 bytes.
    std::string r = encode_crown_refusal(crown_answer_kind::refusal, "why");
    EXPECT_EQ(decode_error(r.substr(0, r.size() - 3) + "a\nb"),
              decode_error(r.substr(0, r.size() - 3) + std::string("a\0b", 3)));
    EXPECT_NE(decode_error(r.substr(0, r.size() - 3) + "a\nb").find("control"), std::string::npos);
    put64(r, 16, 0);
    EXPECT_NE(decode_error(r.substr(0, 24)), "accepted");
}

TEST(CrownChildFilter, ForbidsWritingConnectingAndStartingPrograms) {
    test::scratch_dir dir;
    const std::string file = dir.file("made.txt");
    int spare[2];
    ASSERT_EQ(::pipe(spare), 0);
    ::dup2(spare[1], 9);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        // One bit per system call that got through.
        if (!install_crown_reader_filter()) ::_exit(100);
        int leaks = 0;
        if (::open(file.c_str(), O_WRONLY | O_CREAT, 0600) >= 0) leaks |= 1;
        if (::open(file.c_str(), O_RDWR | O_CREAT, 0600) >= 0) leaks |= 1;
        if (::socket(AF_INET, SOCK_STREAM, 0) >= 0) leaks |= 2;
        const struct rlimit big {RLIM_INFINITY, RLIM_INFINITY};
        if (::setrlimit(RLIMIT_CPU, &big) == 0) leaks |= 4;
        const pid_t inner = ::fork();
        if (inner == 0) ::_exit(0);
        if (inner > 0) leaks |= 8;
#ifndef SF_ASAN_BUILD
        if (::write(9, "x", 1) == 1) leaks |= 16;
#endif
        if (::open("/proc/self/exe", O_RDONLY) < 0) leaks |= 32;  // reading stays allowed
        if (leaks) ::_exit(leaks);
        char* const argv[] = {const_cast<char*>("/bin/true"), nullptr};
        ::execv("/bin/true", argv);
        ::_exit(64);
    }
    ::close(spare[1]);
    ::close(9);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ::close(spare[0]);
    EXPECT_FALSE(std::filesystem::exists(file));
    ASSERT_TRUE(WIFSIGNALED(status)) << "exit status " << WEXITSTATUS(status) << " (bits: what got through)";
    EXPECT_EQ(WTERMSIG(status), SIGSYS);
}

#ifdef SF_PROGRAM
// Stand-in reader programs that misbehave in one way each.
class CrownChild : public ::testing::Test {
protected:
    void TearDown() override {
        set_crown_reader_program(SF_PROGRAM);
        set_crown_child_limits(crown_child_limits());
    }
    std::string reader(const std::string& name, const std::string& body) {
        const std::string path = dir.write(name, "#!/bin/sh\n" + body + "\n");
        ::chmod(path.c_str(), 0755);
        return path;
    }
    std::string refusal(const std::string& program) {
        set_crown_reader_program(program);
        mesh_layer l;
        l.add_point(1, 1, 1);
        std::string message = "accepted";
        {
            // Far above any reader limit used here: a hang fails, it never stalls.
            const test::watchdog guard(std::chrono::seconds(120), "reader " + program);
            try {
                read_crown(crown, l, crown_up::y);
            } catch (const io_error& e) {
                message = e.what();
            }
        }
        EXPECT_EQ(l.point_count(), 0u);
        EXPECT_EQ(message.rfind(crown + ": cannot read crown: ", 0), 0u) << message;
        EXPECT_EQ(message.find('\n'), std::string::npos) << message;
        return message;
    }
    test::scratch_dir dir;
    std::string crown = dir.write("c.stl", "solid s\nendsolid s\n");
};

TEST_F(CrownChild, CrashesFailuresAndNonsenseBecomeOneLine) {
    EXPECT_NE(refusal(reader("segv.sh", "kill -SEGV $$")).find("the reader crashed (signal 11)"), std::string::npos);
    EXPECT_NE(refusal(reader("exit.sh", "exit 3")).find("exit status 3"), std::string::npos);
    EXPECT_NE(refusal(reader("silent.sh", "exit 0")).find("malformed answer"), std::string::npos);
    EXPECT_NE(refusal(reader("junk.sh", "printf 'SFCROWN1 nonsense' >&3")).find("malformed answer"),
              std::string::npos);
    EXPECT_NE(refusal(dir.file("missing-program")).find("could not be started"), std::string::npos);
    // A good answer followed by a crash counts as a crash.
    const std::string answer = dir.write("answer.bin", encode_crown_polygons(sample_layer()));
    EXPECT_NE(refusal(reader("late.sh", "cat '" + answer + "' >&3; kill -ABRT $$")).find("signal 6"),
              std::string::npos);
}

TEST_F(CrownChild, SeesNoDescriptorsButItsAnswerAndNoWritableFiles) {
    // A descriptor of ours without close-on-exec must not reach the reader.
    const int leak = ::open(crown.c_str(), O_RDONLY);
    ASSERT_GE(leak, 0);
    // ls sees 0..3 and its own directory descriptor, nothing more; then the
    // file-size limit stops a write.
    const std::string out = dir.file("fds.txt");
    const std::string probe = reader("fds.sh", "[ \"$(ls /proc/self/fd | wc -l)\" = 5 ] || exit 5; "
                                               "printf x > '" + out + "' || exit 6; exit 7");
    const std::string message = refusal(probe);
    ::close(leak);
    EXPECT_NE(message.find("tried to write a file"), std::string::npos) << message;
    EXPECT_EQ(test::slurp(out), "");
}

// Each is stopped because of the reader's own time limit (the message says
// so), long before its sleep would end on its own.
TEST_F(CrownChild, AHangingReaderIsKilledWhenItsTimeIsUp) {
    set_crown_child_limits({1, std::uint64_t(2) << 30});
    EXPECT_NE(refusal(reader("sleep.sh", "exec sleep 300")).find("took longer than 1 s"), std::string::npos);
    // One that closes its answer and lingers is stopped too.
    EXPECT_NE(refusal(reader("linger.sh", "exec 3>&-; exec sleep 300")).find("took longer than 1 s"),
              std::string::npos);
    // Spinning on the processor ends the same way.
    EXPECT_NE(refusal(reader("spin.sh", "while :; do :; done")).find("took longer than 1 s"),
              std::string::npos);
}
#endif

}  // namespace
}  // namespace sf::formats
