// `sylvaform serve` in its own process for the tests: on a port it picks,
// with its temporary folder in dir/tmp, stopped by SIGTERM when it goes.
#pragma once

#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "scratch_dir.h"
#include "serve_process.h"

namespace sf::test {

class serve_process {
public:
    // max_upload_mb null: the program's default.
    serve_process(const scratch_dir& dir, const char* max_upload_mb, std::vector<std::string> more = {}) {
        const std::string shelf = dir.file("shelf"), tmp = dir.file("tmp");
        std::filesystem::create_directories(tmp);
        int out[2];
        EXPECT_EQ(::pipe(out), 0);
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(out[1], STDOUT_FILENO);
            ::close(out[0]);
            ::close(out[1]);
            ::setenv("TMPDIR", tmp.c_str(), 1);
            std::vector<std::string> args{SF_PROGRAM, "serve", "--port", "0", "--shelf", shelf};
            if (max_upload_mb) args.insert(args.end(), {"--max-upload-mb", max_upload_mb});
            args.insert(args.end(), more.begin(), more.end());
            std::vector<char*> argv;
            for (std::string& a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            ::execv(SF_PROGRAM, argv.data());
            ::_exit(127);
        }
        ::close(out[1]);
        std::string line;
        const int announced = announced_port(out[0], line);
        EXPECT_GE(announced, 0) << line;
        if (announced >= 0) port = announced;
    }
    ~serve_process() {
        if (pid_ > 0 && stop(std::chrono::milliseconds(10000)) < 0) ADD_FAILURE() << "the server did not stop";
    }

    // SIGTERM; answers how long the server took to exit (ms), or -1 when it
    // had to be killed. Expects exit status 0.
    long stop(std::chrono::milliseconds limit) {
        using std::chrono::steady_clock;
        ::kill(pid_, SIGTERM);
        const auto start = steady_clock::now();
        int status = 0;
        pid_t done = 0;
        while ((done = ::waitpid(pid_, &status, WNOHANG)) == 0 && steady_clock::now() - start < limit)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        const long took =
            long(std::chrono::duration_cast<std::chrono::milliseconds>(steady_clock::now() - start).count());
        if (done == 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, &status, 0);
        }
        pid_ = -1;
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
        return done == 0 ? -1 : took;
    }

    std::unique_ptr<httplib::Client> client(int timeout_s = 10) const {
        auto c = std::make_unique<httplib::Client>("127.0.0.1", port);
        c->set_read_timeout(timeout_s);
        c->set_connection_timeout(timeout_s);
        return c;
    }

    // The server's resident memory in MiB.
    long rss_mib() const {
        std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
        for (std::string line; std::getline(status, line);)
            if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6)) / 1024;
        return -1;
    }

    int port = 0;

private:
    pid_t pid_ = -1;
};

}  // namespace sf::test
