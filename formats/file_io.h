// File plumbing: whole-file reading, byte sinks (string, file descriptor,
// atomically replaced file) and a block buffer that formats numbers with
// std::to_chars.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

namespace sf::formats {

// Failure to read or write a file; the message is one line naming the file.
class io_error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The whole content of a file; io_error "path: reason" when it cannot be read.
std::string read_file(const std::string& path);

class byte_sink {
public:
    virtual ~byte_sink() = default;
    virtual void write(std::string_view bytes) = 0;  // all or throw io_error
};

class string_sink final : public byte_sink {
public:
    void write(std::string_view bytes) override { text.append(bytes); }
    std::string text;
};

// Writes to a descriptor it does not own (standard output).
class fd_sink final : public byte_sink {
public:
    fd_sink(int fd, std::string name) : fd_(fd), name_(std::move(name)) {}
    void write(std::string_view bytes) override;

private:
    int fd_;
    std::string name_;
};

// A file that appears whole or not at all: bytes go to a temporary file in
// the target's directory, which commit() flushes to disk and renames over
// the target. Destroyed uncommitted, or on any failure, the temporary file
// is removed and an existing target is left untouched.
class atomic_file final : public byte_sink {
public:
    explicit atomic_file(std::string path);  // throws io_error
    ~atomic_file() override;
    atomic_file(const atomic_file&) = delete;
    atomic_file& operator=(const atomic_file&) = delete;

    void write(std::string_view bytes) override;
    void commit();
    const std::string& temp_path() const { return temp_; }

private:
    [[noreturn]] void fail(const char* what, int err);
    void discard() noexcept;

    std::string path_;
    std::string temp_;
    int fd_ = -1;
};

// Writes bytes to path through an atomic_file.
void write_file_atomic(const std::string& path, std::string_view bytes);

// Collects small pieces and passes them to the sink in large blocks.
// Call flush() at the end; the destructor does not write.
class text_buffer {
public:
    explicit text_buffer(byte_sink& sink, std::size_t block = std::size_t(1) << 20);
    text_buffer(const text_buffer&) = delete;
    text_buffer& operator=(const text_buffer&) = delete;

    void put(char c) {
        if (pos_ == cap_) drain();
        buf_[pos_++] = c;
    }
    void put(std::string_view s);
    void put_uint(std::uint64_t v);
    void put_int(std::int64_t v);
    void put_double(double v);  // shortest text that reads back to the same bits
    void put_float(float v);    // likewise for a 32-bit float
    void flush();

private:
    char* room(std::size_t n);  // at least n free bytes at the write position
    void drain();

    byte_sink& sink_;
    std::unique_ptr<char[]> buf_;
    std::size_t cap_;
    std::size_t pos_ = 0;
};

}  // namespace sf::formats
