#include "formats/file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>

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

// fd_sink

void fd_sink::write(std::string_view bytes) {
    if (const int err = write_all(fd_, bytes); err != 0) throw io_error(message(name_, "write failed", err));
}

// atomic_file

atomic_file::atomic_file(std::string path) : path_(std::move(path)) {
    const std::size_t slash = path_.rfind('/');
    const std::string dir = slash == std::string::npos ? std::string() : path_.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? path_ : path_.substr(slash + 1);
    if (base.empty() || base == "." || base == "..") throw io_error(message(path_, "not a file name", 0));

    // A hidden name beside the target, so the rename stays in one file system.
    for (int attempt = 0; attempt < 100; ++attempt) {
        temp_ = dir + "." + base + ".tmp" + std::to_string(::getpid()) + "-" +
                std::to_string(temp_counter.fetch_add(1));
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

void atomic_file::commit() {
    if (fd_ < 0) throw io_error(message(path_, "file already closed", 0));
    if (::fsync(fd_) != 0) fail("cannot flush to disk", errno);
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) fail("cannot close", errno);
    if (std::rename(temp_.c_str(), path_.c_str()) != 0) fail("cannot rename into place", errno);
    temp_.clear();

    // Make the rename itself durable; a failure here loses nothing written.
    const std::size_t slash = path_.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : path_.substr(0, slash + 1);
    const int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
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

}  // namespace sf::formats
