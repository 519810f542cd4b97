#include "formats/crown_child.h"

#include <fcntl.h>
#include <poll.h>
#include <seccomp.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <linux/sched.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string_view>
#include <vector>

#include "formats/crown_wire.h"
#include "formats/file_io.h"

extern char** environ;

// Sanitizer builds (address or thread): shadow memory needs terabytes of
// address space, and the runtime writes to descriptors of its own.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define SF_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define SF_ASAN 1
#endif
#endif

namespace sf::formats {

namespace {

constexpr int k_answer_fd = 3;
constexpr int k_exec_failed = 126;

// Function statics: the settings may be made from other files' initialisers.
struct settings {
    std::mutex mutex;
    std::string program;
    crown_child_limits limits;
};
settings& g() {
    static settings s;
    return s;
}

std::string program_path() {
    std::lock_guard lock(g().mutex);
    if (!g().program.empty()) return g().program;
    std::error_code ec;
    const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::string("/proc/self/exe") : exe.string();
}

std::string size_text(std::uint64_t bytes) {
    if (bytes >= (std::uint64_t(1) << 30) && bytes % (std::uint64_t(1) << 30) == 0)
        return std::to_string(bytes >> 30) + " GiB";
    return std::to_string(bytes >> 20) + " MiB";
}

// A descriptor closed when it goes out of scope.
struct fd_guard {
    int fd = -1;
    ~fd_guard() { reset(); }
    void reset() {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
};

// Moves a descriptor above the ones the child rearranges (0..3).
int high_fd(int fd) {
    if (fd < 0) return fd;
    const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 10);
    ::close(fd);
    return moved;
}

void set_limit(int resource, rlim_t soft, rlim_t hard) {
    const struct rlimit r {soft, hard};
    ::setrlimit(resource, &r);
}

// Runs in the forked child before exec: async-signal-safe calls only.
[[noreturn]] void exec_child(int answer, int devnull, pid_t parent, const crown_child_limits& limits,
                             const char* program, char* const* argv, char* const* envp) {
    if (::dup2(devnull, 0) < 0 || ::dup2(devnull, 1) < 0 || ::dup2(devnull, 2) < 0 ||
        ::dup2(answer, k_answer_fd) < 0)
        ::_exit(k_exec_failed);
    if (::close_range(k_answer_fd + 1, ~0u, 0) != 0)
        for (int fd = k_answer_fd + 1; fd < 4096; ++fd) ::close(fd);
    set_limit(RLIMIT_CPU, rlim_t(limits.seconds), rlim_t(limits.seconds) + 1);
#ifndef __SANITIZE_THREAD__
    // The thread sanitizer's runtime dies of a zero file-size limit; there
    // only the filter's read-only opens keep files unwritten.
    set_limit(RLIMIT_FSIZE, 0, 0);
#endif
    set_limit(RLIMIT_CORE, 0, 0);
    set_limit(RLIMIT_NOFILE, 64, 64);
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(k_exec_failed);
    ::execve(program, argv, envp);
    ::_exit(k_exec_failed);
}

std::string wait_text(int status, const crown_child_limits& limits) {
    if (WIFEXITED(status)) {
        if (WEXITSTATUS(status) == k_exec_failed) return "the reader process could not be started";
        return "the reader failed (exit status " + std::to_string(WEXITSTATUS(status)) + ")";
    }
    const int sig = WTERMSIG(status);
    if (sig == SIGXCPU) return "took longer than " + std::to_string(limits.seconds) + " s";
    if (sig == SIGSYS) return "the reader made a forbidden system call";
    if (sig == SIGXFSZ) return "the reader tried to write a file";
    return "the reader crashed (signal " + std::to_string(sig) + ")";
}

}  // namespace

bool install_crown_reader_filter() {
    scmp_filter_ctx ctx = ::seccomp_init(SCMP_ACT_ALLOW);
    if (!ctx) return false;
    int rc = 0;
    const auto deny = [&](int call, std::uint32_t action = SCMP_ACT_ERRNO(EPERM)) {
        rc |= ::seccomp_rule_add(ctx, action, call, 0);
    };
    deny(SCMP_SYS(execve), SCMP_ACT_KILL_PROCESS);
    deny(SCMP_SYS(execveat), SCMP_ACT_KILL_PROCESS);
    for (const int call :
         {SCMP_SYS(socket), SCMP_SYS(socketpair), SCMP_SYS(connect), SCMP_SYS(bind), SCMP_SYS(listen),
          SCMP_SYS(accept), SCMP_SYS(accept4), SCMP_SYS(sendto), SCMP_SYS(sendmsg), SCMP_SYS(sendmmsg),
          SCMP_SYS(fork), SCMP_SYS(vfork), SCMP_SYS(ptrace), SCMP_SYS(unlink), SCMP_SYS(unlinkat),
          SCMP_SYS(rename), SCMP_SYS(renameat), SCMP_SYS(renameat2), SCMP_SYS(mkdir), SCMP_SYS(mkdirat),
          SCMP_SYS(rmdir), SCMP_SYS(link), SCMP_SYS(linkat), SCMP_SYS(symlink), SCMP_SYS(symlinkat),
          SCMP_SYS(chmod), SCMP_SYS(fchmod), SCMP_SYS(fchmodat), SCMP_SYS(chown), SCMP_SYS(fchown),
          SCMP_SYS(fchownat), SCMP_SYS(lchown), SCMP_SYS(truncate), SCMP_SYS(ftruncate), SCMP_SYS(creat),
          SCMP_SYS(mknod), SCMP_SYS(mknodat), SCMP_SYS(sendfile), SCMP_SYS(splice), SCMP_SYS(tee),
          SCMP_SYS(copy_file_range), SCMP_SYS(io_uring_setup), SCMP_SYS(setrlimit), SCMP_SYS(setxattr),
          SCMP_SYS(fsetxattr), SCMP_SYS(lsetxattr)})
        deny(call);
    // glibc falls back to clone, where a new process (not a thread) is refused.
    rc |= ::seccomp_rule_add(ctx, SCMP_ACT_ERRNO(ENOSYS), SCMP_SYS(clone3), 0);
    rc |= ::seccomp_rule_add(ctx, SCMP_ACT_ERRNO(EPERM), SCMP_SYS(clone), 1,
                             SCMP_A0(SCMP_CMP_MASKED_EQ, CLONE_THREAD, 0));
    rc |= ::seccomp_rule_add(ctx, SCMP_ACT_ERRNO(ENOSYS), SCMP_SYS(openat2), 0);
    // No raising of the limits, even where the user may.
    rc |= ::seccomp_rule_add(ctx, SCMP_ACT_ERRNO(EPERM), SCMP_SYS(prlimit64), 1, SCMP_A2(SCMP_CMP_NE, 0));
#ifndef SF_ASAN
    // Writes go to the answer pipe (and standard error, which is /dev/null).
    // The sanitizer probes memory by writing to a pipe of its own; there,
    // only the file-size limit and read-only opens keep files unwritten.
    for (const int call : {SCMP_SYS(write), SCMP_SYS(writev), SCMP_SYS(pwrite64), SCMP_SYS(pwritev),
                           SCMP_SYS(pwritev2)}) {
        rc |= ::seccomp_rule_add(ctx, SCMP_ACT_ERRNO(EPERM), call, 1, SCMP_A0(SCMP_CMP_LT, 2));
        rc |= ::seccomp_rule_add(ctx, SCMP_ACT_ERRNO(EPERM), call, 1, SCMP_A0(SCMP_CMP_GT, k_answer_fd));
    }
#endif
    // Files open for reading only.
    for (const unsigned flag : {unsigned(O_WRONLY), unsigned(O_RDWR), unsigned(O_CREAT), unsigned(O_TRUNC),
                                unsigned(O_APPEND)}) {
        rc |= ::seccomp_rule_add(ctx, SCMP_ACT_ERRNO(EACCES), SCMP_SYS(open), 1, SCMP_A1(SCMP_CMP_MASKED_EQ, flag, flag));
        rc |= ::seccomp_rule_add(ctx, SCMP_ACT_ERRNO(EACCES), SCMP_SYS(openat), 1, SCMP_A2(SCMP_CMP_MASKED_EQ, flag, flag));
    }
    if (rc == 0) rc = ::seccomp_load(ctx);
    ::seccomp_release(ctx);
    return rc == 0;
}

namespace {

bool write_all(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes.remove_prefix(std::size_t(n));
    }
    return true;
}

// The reader's messages start "path: cannot read crown: "; the parent adds
// that again.
std::string reason_of(const std::string& message, const std::string& path) {
    const std::string prefix = path + ": cannot read crown: ";
    if (message.rfind(prefix, 0) == 0) return message.substr(prefix.size());
    if (message.rfind(path + ": ", 0) == 0) return message.substr(path.size() + 2);
    return message;
}

// The child's arguments and environment, and the pointer arrays exec takes
// (pointing into the strings, so the struct stays where it was filled).
struct child_command {
    std::vector<std::string> args, env;
    std::vector<char*> argv, envp;
};

void make_child_command(child_command& cmd, const std::string& program, const std::string& path,
                        crown_source source, const crown_child_limits& limits) {
    std::vector<std::string>& args = cmd.args;
    args = {program, k_crown_child_argument, path, source == crown_source::upload ? "upload" : "file",
            std::to_string(::getpid()), std::to_string(limits.memory)};
    std::vector<char*>& argv = cmd.argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string>& env = cmd.env;
    for (char** e = environ; e && *e; ++e)
        if (std::strncmp(*e, "ASAN_OPTIONS=", 13) != 0) env.emplace_back(*e);
#ifdef SF_ASAN
    const char* asan = std::getenv("ASAN_OPTIONS");
    env.push_back(std::string("ASAN_OPTIONS=") + (asan ? std::string(asan) + ":" : "") +
                  "detect_leaks=0:allocator_may_return_null=1:max_allocation_size_mb=" +
                  std::to_string(limits.memory >> 20) + ":hard_rss_limit_mb=" +
                  std::to_string(limits.memory >> 20));
#else
    if (const char* asan = std::getenv("ASAN_OPTIONS")) env.push_back(std::string("ASAN_OPTIONS=") + asan);
#endif
    std::vector<char*>& envp = cmd.envp;
    for (std::string& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
}

// The reader's answer, read from fd until the child closes the pipe; when
// the time is up, waiting fails or the answer is too large, `why` says so.
std::string read_answer(int fd, std::chrono::steady_clock::time_point deadline, const crown_child_limits& limits,
                        std::string& why) {
    std::string answer;
    bool eof = false;
    char buf[1 << 16];
    while (!eof && why.empty()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            why = "took longer than " + std::to_string(limits.seconds) + " s";
            break;
        }
        pollfd p{fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, int(std::min<long long>(left.count(), 1000)));
        if (ready < 0 && errno != EINTR) why = std::string("cannot wait for the reader: ") + std::strerror(errno);
        if (ready <= 0) continue;
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            eof = true;
        } else if (answer.size() + std::size_t(n) > k_max_crown_answer) {
            why = "the reader's answer is larger than " + size_text(k_max_crown_answer);
        } else {
            answer.append(buf, std::size_t(n));
        }
    }
    return answer;
}

// Reaps the child: killed at once when `why` already says it failed, else
// (its pipe closed) given until the deadline. Answers why the reader
// failed, or empty when it exited with status 0.
std::string reap_child(pid_t pid, std::chrono::steady_clock::time_point deadline, const crown_child_limits& limits,
                       const std::string& why) {
    int status = 0;
    if (!why.empty()) {
        ::kill(pid, SIGKILL);
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {}
        return why;
    }
    for (;;) {
        const pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid || (r < 0 && errno != EINTR)) break;
        if (std::chrono::steady_clock::now() >= deadline) {
            ::kill(pid, SIGKILL);
            while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {}
            return "took longer than " + std::to_string(limits.seconds) + " s";
        }
        ::usleep(1000);
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return wait_text(status, limits);
    return {};
}

}  // namespace

void set_crown_reader_program(std::string path) {
    std::lock_guard lock(g().mutex);
    g().program = std::move(path);
}

void set_crown_child_limits(const crown_child_limits& limits) {
    std::lock_guard lock(g().mutex);
    g().limits = limits;
}

crown_child_limits crown_child_limits_now() {
    std::lock_guard lock(g().mutex);
    return g().limits;
}

void read_crown_in_child(const std::string& path, crown_source source, mesh_layer& layer) {
    layer.clear();
    const auto fail = [&](const std::string& why) -> void { throw io_error(path + ": cannot read crown: " + why); };
    const crown_child_limits limits = crown_child_limits_now();
    const std::string program = program_path();

    // Everything the child needs is made before fork: after it, in a
    // threaded program, only async-signal-safe calls are allowed.
    child_command cmd;
    make_child_command(cmd, program, path, source, limits);

    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) fail(std::string("cannot start the reader: ") + std::strerror(errno));
    fd_guard read_end{high_fd(fds[0])}, write_end{high_fd(fds[1])};
    fd_guard devnull{high_fd(::open("/dev/null", O_RDWR | O_CLOEXEC))};
    if (read_end.fd < 0 || write_end.fd < 0 || devnull.fd < 0)
        fail(std::string("cannot start the reader: ") + std::strerror(errno));

    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid < 0) fail(std::string("cannot start the reader: ") + std::strerror(errno));
    if (pid == 0) exec_child(write_end.fd, devnull.fd, parent, limits, program.c_str(), cmd.argv.data(), cmd.envp.data());
    write_end.reset();
    devnull.reset();

    // Read until the child closes the pipe, the time is up or the answer is
    // too large; the child is reaped in every case.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(limits.seconds);
    std::string why;
    const std::string answer = read_answer(read_end.fd, deadline, limits, why);
    read_end.reset();
    const std::string failure = reap_child(pid, deadline, limits, why);
    if (!failure.empty()) fail(failure);

    crown_answer decoded;
    try {
        decoded = decode_crown_answer(answer, layer);
    } catch (const crown_wire_error& e) {
        layer.clear();
        fail(e.what());
    }
    if (decoded.kind == crown_answer_kind::out_of_memory) fail("needed more than " + size_text(limits.memory));
    if (decoded.kind == crown_answer_kind::refusal) fail(decoded.reason);
}

int crown_child_main(int argc, char** argv) {
    if (argc != 6) return 2;
    const std::string path = argv[2];
    const crown_source source = std::string_view(argv[3]) == "upload" ? crown_source::upload : crown_source::file;
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (std::to_string(::getppid()) != argv[4]) return 2;
#ifndef SF_ASAN
    // The address-space limit is the reader's own business: a sanitizer's
    // shadow memory needs terabytes of it, so such builds are limited by
    // resident size through ASAN_OPTIONS instead.
    const rlim_t memory = std::strtoull(argv[5], nullptr, 10);
    if (memory > 0) set_limit(RLIMIT_AS, memory, memory);
#endif
    if (!install_crown_reader_filter()) {
        write_all(k_answer_fd, encode_crown_refusal(crown_answer_kind::refusal, "the reader's sandbox could not be set up"));
        return 0;
    }
    std::string answer;
    try {
        mesh_layer layer;
        read_crown_untrusted(path, source, layer);
        answer = encode_crown_polygons(layer);
    } catch (const std::bad_alloc&) {
        answer = encode_crown_refusal(crown_answer_kind::out_of_memory, "out of memory");
    } catch (const std::exception& e) {
        answer = encode_crown_refusal(crown_answer_kind::refusal, reason_of(e.what(), path));
    }
    return write_all(k_answer_fd, answer) ? 0 : 1;
}

}  // namespace sf::formats
