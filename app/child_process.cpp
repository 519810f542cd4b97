#include "app/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "formats/errors.h"

namespace sf::app {

child_process start_child(const std::function<int()>& body) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        throw machine_error(std::string("cannot make a pipe: ") + std::strerror(errno));
    std::fflush(nullptr);  // nothing buffered is written twice
    const pid_t pid = ::fork();
    if (pid < 0) {
        const int e = errno;
        ::close(fds[0]);
        ::close(fds[1]);
        throw machine_error(std::string("cannot start a worker process: ") + std::strerror(e));
    }
    if (pid == 0) {
        ::close(fds[0]);
        ::dup2(fds[1], STDERR_FILENO);
        ::close(fds[1]);
        if (const int null = ::open("/dev/null", O_WRONLY); null >= 0) {
            ::dup2(null, STDOUT_FILENO);
            ::close(null);
        }
        int code = 2;
        try {
            code = body();
        } catch (const std::exception& e) {
            std::fprintf(stderr, "sylvaform: %s\n", e.what());
        } catch (...) {
            std::fprintf(stderr, "sylvaform: unexpected failure\n");
        }
        std::fflush(nullptr);
        ::_exit(code);
    }
    ::close(fds[1]);
    child_process c;
    c.pid = pid;
    c.err_fd = fds[0];
    return c;
}

int wait_any(std::vector<child_process*>& children) {
    for (;;) {
        std::vector<pollfd> polls;
        std::vector<std::size_t> which;
        for (std::size_t k = 0; k < children.size(); ++k)
            if (children[k]->err_fd >= 0) {
                polls.push_back({children[k]->err_fd, POLLIN, 0});
                which.push_back(k);
            }
        if (polls.empty()) return -1;
        if (::poll(polls.data(), polls.size(), -1) < 0) {
            if (errno == EINTR) continue;
            throw machine_error(std::string("cannot watch the worker processes: ") + std::strerror(errno));
        }
        for (std::size_t p = 0; p < polls.size(); ++p) {
            if (polls[p].revents == 0) continue;
            child_process& c = *children[which[p]];
            char buf[4096];
            const ssize_t n = ::read(c.err_fd, buf, sizeof buf);
            if (n > 0) {
                if (c.err.size() < (1u << 20)) c.err.append(buf, std::size_t(n));
                continue;
            }
            if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            // End of its standard error: the child is finishing.
            ::close(c.err_fd);
            c.err_fd = -1;
            int status = 0;
            while (::waitpid(c.pid, &status, 0) < 0 && errno == EINTR) {
            }
            if (WIFEXITED(status)) {
                c.status = WEXITSTATUS(status);
            } else {
                c.status = -1;
                if (WIFSIGNALED(status))
                    c.err += "sylvaform: the worker was killed by signal " + std::to_string(WTERMSIG(status)) + "\n";
            }
            return int(which[p]);
        }
    }
}

std::string last_line(const std::string& err) {
    std::string text = err;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    const std::size_t nl = text.find_last_of("\r\n");
    std::string line = nl == std::string::npos ? text : text.substr(nl + 1);
    if (line.rfind("sylvaform: ", 0) == 0) line.erase(0, 11);
    return line.empty() ? "failed without a message" : line;
}

}  // namespace sf::app
