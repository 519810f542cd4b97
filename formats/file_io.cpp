#include "formats/file_io.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <future>
#include <mutex>
#include <set>
#include <thread>

namespace sf::formats {

namespace {

// Writes all bytes, retrying short writes and interruptions; errno on failure.
int write_all(int fd, std::string_view bytes) {
    const char* p = bytes.data();
    std::size_t left = bytes.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    return 0;
}

std::string message(const std::string& path, const char* what, int err) {
    std::string m = "cannot write " + path + ": ";
    m += what;
    if (err != 0) {
        m += ": ";
        m += std::strerror(err);
    }
    return m;
}

std::atomic<unsigned> temp_counter{0};

}  // namespace

std::string read_file(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw io_error(path + ": cannot open: " + std::strerror(errno));
    std::string data;
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0)
        data.reserve(static_cast<std::size_t>(st.st_size));
    char block[65536];
    for (;;) {
        const ssize_t n = ::read(fd, block, sizeof block);
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            const int err = errno;
            ::close(fd);
            throw io_error(path + ": cannot read: " + std::strerror(err));
        }
        data.append(block, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return data;
}

std::string replace_refusal(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return {};  // nothing there, or a dangling link the rename replaces
    if (S_ISREG(st.st_mode)) return {};
    if (S_ISDIR(st.st_mode)) return "a directory";
    if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) return "a device";
    if (S_ISFIFO(st.st_mode)) return "a FIFO";
    if (S_ISSOCK(st.st_mode)) return "a socket";
    return "not a regular file";
}

// Streaming blocks

namespace {

constexpr std::size_t k_default_block = std::size_t(1) << 20;
std::atomic<std::size_t> block_size{k_default_block};

}  // namespace

std::size_t stream_block() { return block_size; }
void set_stream_block(std::size_t bytes) { block_size = bytes == 0 ? k_default_block : bytes; }

void byte_sink::copy_from(int fd, std::uint64_t offset, std::uint64_t length) {
    std::vector<char> block(std::min<std::uint64_t>(length, stream_block()));
    while (length > 0) {
        const ssize_t n = ::pread(fd, block.data(), std::min<std::uint64_t>(length, block.size()), off_t(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) throw io_error(std::string("cannot read a temporary file: ") +
                                   (n < 0 ? std::strerror(errno) : "it ended early"));
        write(std::string_view(block.data(), std::size_t(n)));
        offset += std::uint64_t(n);
        length -= std::uint64_t(n);
    }
}

// spill_file

spill_file::spill_file(const std::string& dir) : dir_(dir) {
    if (dir_.empty()) {
        const char* tmp = std::getenv("TMPDIR");
        dir_ = tmp && *tmp ? tmp : "/tmp";
    }
    fd_ = ::open(dir_.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd_ >= 0) return;
    // No unnamed files here: a named one, unlinked at once.
    std::string name = (dir_.back() == '/' ? dir_ : dir_ + "/") + ".sylvaform-spill-XXXXXX";
    fd_ = ::mkostemp(name.data(), O_CLOEXEC);
    if (fd_ < 0) throw io_error("cannot create a temporary file in " + dir_ + ": " + std::strerror(errno));
    ::unlink(name.c_str());
}

spill_file::~spill_file() {
    if (fd_ >= 0) ::close(fd_);
}

void spill_file::write(std::string_view bytes) {
    if (const int err = write_all(fd_, bytes); err != 0)
        throw io_error("cannot write a temporary file in " + dir_ + ": " + std::strerror(err));
    size_ += bytes.size();
}

void spill_file::write_at(std::uint64_t at, std::string_view bytes) {
    const char* p = bytes.data();
    std::size_t left = bytes.size();
    while (left > 0) {
        const ssize_t n = ::pwrite(fd_, p, std::min<std::size_t>(left, std::size_t(1) << 30), off_t(at));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) throw io_error("cannot write a temporary file in " + dir_ + ": " + std::strerror(n < 0 ? errno : EIO));
        p += n, at += std::uint64_t(n), left -= std::size_t(n);
    }
    size_ = std::max(size_, at);
}

void spill_file::resize(std::uint64_t size) {
    if (::ftruncate(fd_, off_t(size)) != 0)
        throw io_error("cannot write a temporary file in " + dir_ + ": " + std::strerror(errno));
    size_ = size;
}

// fd_sink

void fd_sink::write(std::string_view bytes) {
    if (const int err = write_all(fd_, bytes); err != 0) throw io_error(message(name_, "write failed", err));
}

// atomic_file

namespace {

std::atomic<bool> unnamed_temporaries{true};

std::string dir_of(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string base_of(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A hidden name beside the target, so the rename stays in one file system.
std::string side_name(const std::string& path, const char* kind) {
    return dir_of(path) + "." + base_of(path) + kind + std::to_string(::getpid()) + "-" +
           std::to_string(temp_counter.fetch_add(1));
}

// What a writer left behind under ".BASE.tmpPID-N" (a temporary) or
// ".BASE.oldPID-N" (a target kept while its replacement went in).
struct leftover {
    pid_t owner = 0;  // 0: not such a name
    bool backup = false;
    std::string_view base;
};

leftover parse_leftover(std::string_view name) {
    if (name.size() < 2 || name[0] != '.') return {};
    const std::size_t dash = name.rfind('-');
    if (dash == std::string_view::npos || dash + 1 == name.size()) return {};
    for (std::size_t k = dash + 1; k < name.size(); ++k)
        if (name[k] < '0' || name[k] > '9') return {};
    std::size_t digits = dash;
    while (digits > 0 && name[digits - 1] >= '0' && name[digits - 1] <= '9') --digits;
    if (digits == dash || digits < 6) return {};
    const std::string_view kind = name.substr(digits - 4, 4);
    if (kind != ".tmp" && kind != ".old") return {};
    long pid = 0;
    const auto [end, ec] = std::from_chars(name.data() + digits, name.data() + dash, pid);
    if (ec != std::errc() || pid <= 0 || pid > 0x7FFFFFFF) return {};
    return {static_cast<pid_t>(pid), kind == ".old", name.substr(1, digits - 5)};
}

// Once per directory and process: removes the temporaries that writers which
// died (crash, kill -9) left there. A kept old target goes too, unless its
// target is missing (it had been moved aside): then it is put back.
void remove_leftovers(const std::string& dir) {
    static std::mutex mutex;
    static std::set<std::string> done;
    {
        std::lock_guard lock(mutex);
        if (!done.insert(dir).second) return;
    }
    DIR* d = ::opendir(dir.empty() ? "." : dir.c_str());
    if (!d) return;
    while (const dirent* e = ::readdir(d)) {
        const leftover left = parse_leftover(e->d_name);
        if (left.owner == 0 || left.owner == ::getpid()) continue;
        if (::kill(left.owner, 0) == 0 || errno != ESRCH) continue;  // still running, or not ours to judge
        struct stat st {};
        const std::string path = dir + e->d_name;
        if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
        const std::string target = dir + std::string(left.base);
        if (left.backup && ::lstat(target.c_str(), &st) != 0 && errno == ENOENT)
            ::rename(path.c_str(), target.c_str());
        else
            ::unlink(path.c_str());
    }
    ::closedir(d);
}

}  // namespace

void use_unnamed_temporaries(bool on) { unnamed_temporaries = on; }

atomic_file::atomic_file(std::string path) : path_(std::move(path)) {
    const std::string dir = dir_of(path_);
    const std::string base = base_of(path_);
    if (base.empty() || base == "." || base == "..") throw io_error(message(path_, "not a file name", 0));
    remove_leftovers(dir);

    if (unnamed_temporaries) {
        fd_ = ::open(dir.empty() ? "." : dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
        if (fd_ >= 0) return;
        // Only a file system without unnamed files falls back to a name.
        if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)
            throw io_error(message(path_, "cannot create file", errno));
    }
    for (int attempt = 0; attempt < 100; ++attempt) {
        temp_ = side_name(path_, ".tmp");
        fd_ = ::open(temp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd_ >= 0) return;
        if (errno != EEXIST) break;
    }
    const int err = errno;
    temp_.clear();
    throw io_error(message(path_, "cannot create file", err));
}

atomic_file::~atomic_file() { discard(); }

void atomic_file::discard() noexcept {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    if (!temp_.empty()) ::unlink(temp_.c_str());
    temp_.clear();
}

void atomic_file::fail(const char* what, int err) {
    discard();
    throw io_error(message(path_, what, err));
}

void atomic_file::write(std::string_view bytes) {
    if (fd_ < 0) throw io_error(message(path_, "file already closed", 0));
    if (const int err = write_all(fd_, bytes); err != 0) fail("write failed", err);
}

void atomic_file::copy_from(int fd, std::uint64_t offset, std::uint64_t length) {
    if (fd_ < 0) throw io_error(message(path_, "file already closed", 0));
    loff_t from = loff_t(offset);
    while (length > 0) {
        const ssize_t n = ::copy_file_range(fd, &from, fd_, nullptr, std::size_t(std::min<std::uint64_t>(length, 1u << 30)), 0);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP)) {
            byte_sink::copy_from(fd, std::uint64_t(from), length);  // not in the kernel here
            return;
        }
        if (n < 0) fail("write failed", errno);
        if (n == 0) fail("write failed: a temporary file ended early", 0);
        length -= std::uint64_t(n);
    }
}

std::string atomic_file::spill_dir() const {
    const std::string dir = dir_of(path_);
    return dir.empty() ? std::string(".") : dir;
}

void atomic_file::flush() {
    if (fd_ < 0) throw io_error(message(path_, "file already closed", 0));
    if (::fsync(fd_) != 0) fail("cannot flush to disk", errno);
}

void atomic_file::name() {
    if (fd_ < 0) throw io_error(message(path_, "file already closed", 0));
    if (temp_.empty()) {
        const std::string self = "/proc/self/fd/" + std::to_string(fd_);
        int err = EEXIST;
        for (int attempt = 0; attempt < 100 && err == EEXIST; ++attempt) {
            std::string name = side_name(path_, ".tmp");
            err = ::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0 ? 0 : errno;
            if (err != 0 && err != EEXIST)  // no /proc: the descriptor itself, where allowed
                err = ::linkat(fd_, "", AT_FDCWD, name.c_str(), AT_EMPTY_PATH) == 0 ? 0 : errno;
            if (err == 0) temp_ = std::move(name);
        }
        if (err != 0) copy_to_named(err);
    }
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) fail("cannot close", errno);
}

// Where an unnamed file cannot be linked, its bytes are copied to a named one.
void atomic_file::copy_to_named(int link_error) {
    int out = -1;
    for (int attempt = 0; attempt < 100 && out < 0; ++attempt) {
        temp_ = side_name(path_, ".tmp");
        out = ::open(temp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (out < 0 && errno != EEXIST) break;
    }
    if (out < 0) {
        temp_.clear();
        fail("cannot give the file a name", link_error);
    }
    char block[65536];
    for (off_t at = 0;;) {
        const ssize_t n = ::pread(fd_, block, sizeof block, at);
        if (n < 0 && errno == EINTR) continue;
        const int err = n < 0 ? errno : n == 0 ? 0 : write_all(out, std::string_view(block, std::size_t(n)));
        if (err != 0 || n < 0) {
            ::close(out);
            fail("cannot copy to a named file", err);
        }
        if (n == 0) break;
        at += n;
    }
    const int err = ::fsync(out) == 0 ? 0 : errno;
    if (::close(out) != 0 || err != 0) fail("cannot flush to disk", err != 0 ? err : errno);
}

void atomic_file::commit() {
    flush();
    if (const std::string why = replace_refusal(path_); !why.empty()) fail(("it is " + why).c_str(), 0);
    name();
    if (std::rename(temp_.c_str(), path_.c_str()) != 0) fail("cannot rename into place", errno);
    temp_.clear();

    // Make the rename itself durable; a failure here loses nothing written.
    const std::string dir = dir_of(path_);
    const int dfd = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        ::fsync(dfd);
        ::close(dfd);
    }
}

void write_file_atomic(const std::string& path, std::string_view bytes) {
    atomic_file f(path);
    f.write(bytes);
    f.commit();
}

// file_set

namespace {

// A target about to be replaced: a second link to the old file keeps it
// (where links are not supported it is moved aside), so that it can be put
// back until the whole set is in place.
class kept_target {
public:
    explicit kept_target(std::string path) : path_(std::move(path)) {
        struct stat st {};
        if (::lstat(path_.c_str(), &st) != 0) {
            if (errno != ENOENT) throw io_error(message(path_, "cannot look at the old file", errno));
            state_ = state::none;
            return;
        }
        if (const std::string why = replace_refusal(path_); !why.empty())
            throw io_error(message(path_, ("it is " + why).c_str(), 0));
        for (int attempt = 0; attempt < 100; ++attempt) {
            keep_ = side_name(path_, ".old");
            if (::link(path_.c_str(), keep_.c_str()) == 0) {
                state_ = state::kept;
                linked_ = true;
                return;
            }
            if (errno == EEXIST) continue;
            struct stat taken {};
            if (::lstat(keep_.c_str(), &taken) == 0) continue;
            if (::rename(path_.c_str(), keep_.c_str()) == 0) {
                state_ = state::kept;
                return;
            }
            throw io_error(message(path_, "cannot keep the old file", errno));
        }
        throw io_error(message(path_, "cannot keep the old file", EEXIST));
    }
    kept_target(const kept_target&) = delete;
    kept_target& operator=(const kept_target&) = delete;
    kept_target(kept_target&& o) noexcept
        : path_(std::move(o.path_)), keep_(std::move(o.keep_)), state_(o.state_), linked_(o.linked_) {
        o.state_ = state::other;
    }
    ~kept_target() { drop(); }

    // Undoes the replacement: the old file back, or the new one removed
    // when there was none (only when the new one was put in place).
    void restore(bool replaced) noexcept {
        if (state_ == state::kept && linked_ && !replaced)
            ::unlink(keep_.c_str());  // still in place under its own name
        else if (state_ == state::kept)
            ::rename(keep_.c_str(), path_.c_str());
        else if (state_ == state::none && replaced)
            ::unlink(path_.c_str());
        state_ = state::other;
    }
    void drop() noexcept {
        if (state_ == state::kept) ::unlink(keep_.c_str());
        state_ = state::other;
    }

private:
    enum class state { none, kept, other };
    std::string path_;
    std::string keep_;
    state state_ = state::other;
    bool linked_ = false;  // kept as a second link, not moved aside
};

std::string normal_path(const std::string& path) {
    std::error_code ec;
    const std::filesystem::path abs = std::filesystem::absolute(path, ec);
    return (ec ? std::filesystem::path(path) : abs).lexically_normal().string();
}

}  // namespace

file_set::~file_set() = default;  // each member removes its own temporary

atomic_file& file_set::add(const std::string& path) {
    const std::lock_guard lock(mutex_);
    const std::string key = normal_path(path);
    for (const auto& f : files_)
        if (normal_path(f->path()) == key) throw io_error(message(path, "named twice among the outputs", 0));
    files_.push_back(std::make_unique<atomic_file>(path));
    return *files_.back();
}

void file_set::commit() {
    for (const auto& f : files_) f->flush();
    std::vector<kept_target> kept;
    kept.reserve(files_.size());
    std::size_t placed = 0;
    try {
        for (const auto& f : files_) kept.emplace_back(f->path());
        for (; placed < files_.size(); ++placed) {
            atomic_file& f = *files_[placed];
            f.name();
            if (std::rename(f.temp_.c_str(), f.path_.c_str()) != 0)
                throw io_error(message(f.path_, "cannot rename into place", errno));
            f.temp_.clear();
        }
    } catch (...) {
        for (std::size_t k = 0; k < kept.size(); ++k) kept[k].restore(k < placed);
        for (const auto& f : files_) f->discard();
        throw;
    }
    kept.clear();  // the old files go

    std::set<std::string> dirs;
    for (const auto& f : files_) dirs.insert(dir_of(f->path()));
    for (const std::string& dir : dirs) {
        const int dfd = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dfd >= 0) {
            ::fsync(dfd);
            ::close(dfd);
        }
    }
    files_.clear();
}

// text_buffer

text_buffer::text_buffer(byte_sink& sink, std::size_t block)
    : sink_(sink), buf_(new char[block < 64 ? 64 : block]), cap_(block < 64 ? 64 : block) {}

void text_buffer::drain() {
    if (pos_ > 0) sink_.write(std::string_view(buf_.get(), pos_));
    pos_ = 0;
}

char* text_buffer::room(std::size_t n) {
    if (cap_ - pos_ < n) drain();
    return buf_.get() + pos_;
}

void text_buffer::put(std::string_view s) {
    if (s.size() > cap_ - pos_) {
        drain();
        if (s.size() > cap_) {
            sink_.write(s);
            return;
        }
    }
    if (!s.empty()) std::memcpy(buf_.get() + pos_, s.data(), s.size());
    pos_ += s.size();
}

void text_buffer::put_uint(std::uint64_t v) {
    char* p = room(24);
    pos_ = static_cast<std::size_t>(std::to_chars(p, p + 24, v).ptr - buf_.get());
}

void text_buffer::put_int(std::int64_t v) {
    char* p = room(24);
    pos_ = static_cast<std::size_t>(std::to_chars(p, p + 24, v).ptr - buf_.get());
}

void text_buffer::put_double(double v) {
    char* p = room(32);  // shortest form of any double fits in 24
    pos_ = static_cast<std::size_t>(std::to_chars(p, p + 32, v).ptr - buf_.get());
}

void text_buffer::put_float(float v) {
    char* p = room(32);
    pos_ = static_cast<std::size_t>(std::to_chars(p, p + 32, v).ptr - buf_.get());
}

void text_buffer::flush() { drain(); }

void text_buffer::put_in_parallel(std::size_t count, std::size_t per_chunk, const chunk_format& format) {
    const std::size_t chunks = per_chunk == 0 ? 1 : (count + per_chunk - 1) / per_chunk;
    static const unsigned cores = std::thread::hardware_concurrency();
    if (chunks <= 1 || cores < 2) {
        format(0, count, *this);
        return;
    }
    drain();
    // A few chunks ahead of the one being written: the cores format while
    // this thread hands finished text on. Each chunk goes to the slot of its
    // number; the slots' buffers are reused, so after the first round no
    // chunk touches fresh memory.
    const std::size_t ahead = std::size_t(cores) * 2;
    std::vector<string_sink> slots(std::min(chunks, ahead + 1));
    auto one = [&](std::size_t c) {
        string_sink& text = slots[c % slots.size()];
        text.text.clear();
        text_buffer out(text, std::size_t(1) << 16);
        format(c * per_chunk, std::min(count, (c + 1) * per_chunk), out);
        out.flush();
    };
    std::deque<std::future<void>> pending;  // destroyed first: waits for the workers
    std::size_t next = 0;
    for (std::size_t c = 0; c < chunks; ++c) {
        while (next < chunks && next <= c + ahead) pending.push_back(std::async(std::launch::async, one, next++));
        pending.front().get();
        pending.pop_front();
        sink_.write(slots[c % slots.size()].text);
    }
}

}  // namespace sf::formats
