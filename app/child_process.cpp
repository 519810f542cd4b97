#include "app/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "formats/errors.h"
#include "formats/printable.h"

namespace sf::app {

namespace {

volatile std::sig_atomic_t g_caught = 0;
bool g_holding = false;
sigset_t g_wait_mask;  // the mask while wait_any waits: the stop signals let through
struct sigaction g_old_int, g_old_term;
sigset_t g_old_mask;

void record_stop(int sig) { g_caught = sig; }

}  // namespace

stop_signals::stop_signals() {
    g_caught = 0;
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGTERM);
    ::sigprocmask(SIG_BLOCK, &stops, &g_old_mask);
    g_wait_mask = g_old_mask;
    sigdelset(&g_wait_mask, SIGINT);
    sigdelset(&g_wait_mask, SIGTERM);
    struct sigaction sa {};
    sa.sa_handler = record_stop;
    sigemptyset(&sa.sa_mask);
    ::sigaction(SIGINT, &sa, &g_old_int);
    ::sigaction(SIGTERM, &sa, &g_old_term);
    g_holding = true;
}

stop_signals::~stop_signals() {
    g_holding = false;
    ::sigaction(SIGINT, &g_old_int, nullptr);
    ::sigaction(SIGTERM, &g_old_term, nullptr);
    ::sigprocmask(SIG_SETMASK, &g_old_mask, nullptr);
}

int stop_signals::caught() const { return g_caught; }

child_process start_child(const std::function<int()>& body) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        throw machine_error(std::string("cannot make a pipe: ") + std::strerror(errno));
    std::fflush(nullptr);  // nothing buffered is written twice
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid < 0) {
        const int e = errno;
        ::close(fds[0]);
        ::close(fds[1]);
        throw machine_error(std::string("cannot start a worker process: ") + std::strerror(e));
    }
    if (pid == 0) {
        // Dies with the parent; one that died before this line is seen here.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) ::_exit(2);
        std::signal(SIGINT, SIG_DFL);
        std::signal(SIGTERM, SIG_DFL);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
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
            std::fprintf(stderr, "sylvaform: %s\n", formats::printable(e.what()).c_str());
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
        if (polls.empty() || g_caught != 0) return -1;
        const int ready = g_holding ? ::ppoll(polls.data(), polls.size(), nullptr, &g_wait_mask)
                                    : ::poll(polls.data(), polls.size(), -1);
        if (ready < 0) {
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

void stop_all(std::vector<child_process*>& children) {
    for (child_process* c : children)
        if (c->pid > 0) ::kill(c->pid, SIGTERM);
    for (child_process* c : children) {
        if (c->err_fd >= 0) ::close(c->err_fd);
        c->err_fd = -1;
        int status = 0;
        while (c->pid > 0 && ::waitpid(c->pid, &status, 0) < 0 && errno == EINTR) {
        }
        c->status = -1;
    }
    children.clear();
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
