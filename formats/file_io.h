// File plumbing: whole-file reading, byte sinks (string, file descriptor,
// atomically replaced file) and a block buffer that formats numbers with
// std::to_chars.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "formats/errors.h"

namespace sf::formats {

// Failure to read or write a file; the message is one line naming the file.
// A machine failure mostly; the crown readers also refuse unusable files with it.
class io_error : public machine_error {
public:
    using machine_error::machine_error;
};

// The whole content of a file; io_error "path: reason" when it cannot be read.
std::string read_file(const std::string& path);

// Why a write may not replace path: "a directory", "a device", "a FIFO",
// "a socket" (also behind a symbolic link); empty when nothing is there or
// it is a regular file (or a link, which the rename replaces).
std::string replace_refusal(const std::string& path);

// Block size of the buffers writers stream through (1 MiB). Tests set it
// small to check that output does not depend on it; 0 restores the default.
std::size_t stream_block();
void set_stream_block(std::size_t bytes);

class byte_sink {
public:
    virtual ~byte_sink() = default;
    virtual void write(std::string_view bytes) = 0;  // all or throw io_error
    // Appends length bytes of the file fd from offset on; the default reads
    // them through a reused block buffer.
    virtual void copy_from(int fd, std::uint64_t offset, std::uint64_t length);
    // Where a writer may set bytes aside for this sink: a directory on the
    // same file system as the output, or empty for the temporary directory.
    virtual std::string spill_dir() const { return {}; }
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

// A file that appears whole or not at all. Bytes go to an unnamed file
// (O_TMPFILE) in the target's directory, so a crash or kill leaves nothing
// behind; commit() flushes it to disk, links it under a hidden temporary
// name beside the target and renames that over the target. Where the file
// system has no unnamed files the temporary is named from the start,
// ".BASE.tmpPID-N"; the first write into a directory removes such files
// (and ".BASE.oldPID-N" backups) of processes that are gone. Destroyed
// uncommitted, or on any failure, the temporary is removed and an existing
// target is left untouched. A target that is not a regular file (a device,
// FIFO, socket or directory) is never replaced: commit throws io_error.
class atomic_file final : public byte_sink {
public:
    explicit atomic_file(std::string path);  // throws io_error
    ~atomic_file() override;
    atomic_file(const atomic_file&) = delete;
    atomic_file& operator=(const atomic_file&) = delete;

    void write(std::string_view bytes) override;
    void copy_from(int fd, std::uint64_t offset, std::uint64_t length) override;  // in the kernel
    std::string spill_dir() const override;
    void commit();
    const std::string& path() const { return path_; }
    // The temporary's name, empty while it has none.
    const std::string& temp_path() const { return temp_; }

private:
    friend class file_set;
    [[noreturn]] void fail(const char* what, int err);
    void discard() noexcept;
    // Flushes the bytes to disk.
    void flush();
    // Gives the temporary a name beside the target and closes it; done
    // just before the rename, so that a kill leaves a named temporary only
    // in that moment.
    void name();
    void copy_to_named(int link_error);

    std::string path_;
    std::string temp_;
    int fd_ = -1;
};

// Files that appear together or not at all: several outputs of one run.
// Each member is an atomic_file; commit() flushes them all to disk first,
// then names and renames them into place one by one, keeping the old
// targets until every rename succeeded. On any failure every target is
// left as it was (a replaced one put back, a new one removed) and no
// temporary stays behind.
class file_set {
public:
    file_set() = default;
    ~file_set();
    file_set(const file_set&) = delete;
    file_set& operator=(const file_set&) = delete;

    // A new member writing to path; io_error when the set already has it.
    // Writers on several threads may add members at the same time.
    atomic_file& add(const std::string& path);
    void commit();
    std::size_t size() const { return files_.size(); }

private:
    std::mutex mutex_;
    std::vector<std::unique_ptr<atomic_file>> files_;
};

// Writes bytes to path through an atomic_file.
void write_file_atomic(const std::string& path, std::string_view bytes);

// Off: temporaries are named from the start, as where the file system has
// no unnamed files (for tests of that path).
void use_unnamed_temporaries(bool on);

// Bytes set aside until a writer knows what comes before them: an unnamed
// file (gone with the process, also when it is killed) that is copied into
// a sink at the end. Failures throw io_error naming the directory.
class spill_file {
public:
    explicit spill_file(const std::string& dir);  // empty: $TMPDIR, else /tmp
    ~spill_file();
    spill_file(const spill_file&) = delete;
    spill_file& operator=(const spill_file&) = delete;

    void write(std::string_view bytes);
    // Writes bytes at offset at; the file grows to hold them, gaps read as zeros.
    void write_at(std::uint64_t at, std::string_view bytes);
    // Makes the file size bytes long (zeros at the end).
    void resize(std::uint64_t size);
    std::uint64_t size() const { return size_; }
    void copy_to(byte_sink& sink) const { sink.copy_from(fd_, 0, size_); }

private:
    std::string dir_;
    int fd_ = -1;
    std::uint64_t size_ = 0;
};

// Collects small pieces and passes them to the sink in large blocks.
// Call flush() at the end; the destructor does not write.
class text_buffer {
public:
    explicit text_buffer(byte_sink& sink, std::size_t block = stream_block());
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

    // Formats count items in chunks of per_chunk, several chunks at a time
    // on worker threads, and passes them on in order after what the buffer
    // holds: the same bytes as format(0, count, *this) makes, in less time
    // on a machine with more than one core. format must only read shared
    // data.
    using chunk_format = std::function<void(std::size_t begin, std::size_t end, text_buffer& out)>;
    void put_in_parallel(std::size_t count, std::size_t per_chunk, const chunk_format& format);

private:
    char* room(std::size_t n);  // at least n free bytes at the write position
    void drain();

    byte_sink& sink_;
    std::unique_ptr<char[]> buf_;
    std::size_t cap_;
    std::size_t pos_ = 0;
};

}  // namespace sf::formats
