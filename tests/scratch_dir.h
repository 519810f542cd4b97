// A fresh directory per test, removed afterwards.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <fstream>
#include <sstream>
#include <string>

namespace sf::test {

struct scratch_dir {
    std::filesystem::path path;

    scratch_dir() {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string name = "sylvaform-";
        if (info) name += std::string(info->test_suite_name()) + "-" + info->name() + "-";
        name += std::to_string(::getpid());
        path = std::filesystem::temp_directory_path() / name;
        std::filesystem::remove_all(path);
        std::filesystem::create_directories(path);
    }
    ~scratch_dir() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
    std::string file(const std::string& name) const { return (path / name).string(); }
    std::string write(const std::string& name, const std::string& text) const {
        std::ofstream(file(name), std::ios::binary) << text;
        return file(name);
    }
    std::size_t entries() const {
        return static_cast<std::size_t>(std::distance(std::filesystem::directory_iterator(path), {}));
    }
};

inline std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

#ifdef SF_PROGRAM
// Runs the program in a fresh directory with a shell command line; its
// standard output and error go to out.txt and err.txt there.
struct program_test : ::testing::Test {
    scratch_dir dir;

    // prefix runs in the same shell first (limits, traps).
    int run(const std::string& args, const std::string& prefix = {}) {
        const std::string cmd =
            "cd '" + dir.path.string() + "' && " + prefix + "'" SF_PROGRAM "' " + args + " >out.txt 2>err.txt";
        const int status = std::system(cmd.c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::string out() const { return slurp(dir.file("out.txt")); }
    std::string err() const { return slurp(dir.file("err.txt")); }
    std::string file(const std::string& name) const { return slurp(dir.file(name)); }
    bool exists(const std::string& name) const { return std::filesystem::exists(dir.file(name)); }
    bool err_has(const std::string& text) const { return err().find(text) != std::string::npos; }
};
#endif

}  // namespace sf::test
