// The memory budget of the layer store: every large array of a mesh layer
// (and the working memory of subdivision) is counted against one
// process-wide limit, so a tree that would not fit is refused with an error
// instead of the process being killed by the system.
#pragma once

#include <cstddef>
#include <new>
#include <string>
#include <string_view>

namespace sf::formats {

// An allocation the budget refused. It is a bad_alloc, so code that handles
// running out of memory handles it too; what() says which budget.
class budget_error : public std::bad_alloc {
public:
    explicit budget_error(std::size_t limit);
    const char* what() const noexcept override { return message_.c_str(); }
    std::size_t limit() const { return limit_; }

private:
    std::size_t limit_;
    std::string message_;
};

namespace memory_budget {

// 0 means no limit (the start-up state).
void set_limit(std::size_t bytes);
std::size_t limit();
// Bytes counted at the moment, and the most counted since reset_peak().
std::size_t held();
std::size_t peak();
void reset_peak();
// Counts bytes, or throws budget_error when they would pass the limit.
void take(std::size_t bytes);
void give(std::size_t bytes) noexcept;

// Bytes counted for as long as it lives.
class reservation {
public:
    explicit reservation(std::size_t bytes) : bytes_(bytes) { take(bytes); }
    ~reservation() { give(bytes_); }
    reservation(const reservation&) = delete;
    reservation& operator=(const reservation&) = delete;

private:
    std::size_t bytes_;
};

}  // namespace memory_budget

// Half of the machine's physical memory (1 GiB when it cannot be read).
std::size_t default_memory_budget();

// "4G", "512M", "1.5G", "64k" or plain bytes; K/M/G/T are powers of 1024,
// an optional trailing "B" or "iB" is accepted. 0 when the text is not a
// size of at least 1 MiB.
std::size_t parse_memory_size(std::string_view text);

// "512 MiB", "4 GiB", "1.5 GiB".
std::string format_memory_size(std::size_t bytes);

}  // namespace sf::formats
