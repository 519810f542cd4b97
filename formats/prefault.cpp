#include "formats/prefault.h"

#include <pthread.h>
#include <sys/mman.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace sf::formats::prefault {

namespace {

#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23
#endif

// Faulted in per system call, so that a forget() waits for one step at most.
constexpr std::size_t k_step = std::size_t(4) << 20;

struct request {
    char* base;
    std::size_t offset, length;
};

// One worker for the process, started on first use and never stopped (it
// waits for work); a forked child starts its own.
class worker {
public:
    static worker& get() {
        static worker* w = [] {
            auto* made = new worker;
            ::pthread_atfork([] { get().mutex_.lock(); }, [] { get().mutex_.unlock(); }, [] { get().after_fork(); });
            return made;
        }();
        return *w;
    }

    void ahead(char* base, std::size_t offset, std::size_t length) {
        std::lock_guard lock(mutex_);
        if (!started_) {
            try {
                std::thread(&worker::run, this).detach();
            } catch (...) {
                return;  // no thread: the pages are faulted in as they are used
            }
            started_ = true;
        }
        queue_.push_back({base, offset, length});
        wake_.notify_one();
    }

    void forget(char* base) {
        std::unique_lock lock(mutex_);
        std::erase_if(queue_, [&](const request& r) { return r.base == base; });
        if (current_ == base) {
            cancel_ = true;
            idle_.wait(lock, [&] { return current_ != base; });
        }
    }

private:
    void run() {
        std::unique_lock lock(mutex_);
        for (;;) {
            wake_.wait(lock, [&] { return !queue_.empty(); });
            const request r = queue_.front();
            queue_.pop_front();
            current_ = r.base;
            cancel_ = false;
            for (std::size_t done = 0; done < r.length && !cancel_;) {
                const std::size_t n = std::min(k_step, r.length - done);
                lock.unlock();
                const int failed = ::madvise(r.base + r.offset + done, n, MADV_POPULATE_WRITE);
                lock.lock();
                if (failed) break;
                done += n;
            }
            current_ = nullptr;
            idle_.notify_all();
        }
    }

    void after_fork() {
        new (&mutex_) std::mutex;
        new (&wake_) std::condition_variable;
        new (&idle_) std::condition_variable;
        queue_.clear();
        current_ = nullptr;
        cancel_ = false;
        started_ = false;
    }

    std::mutex mutex_;
    std::condition_variable wake_, idle_;
    std::deque<request> queue_;
    char* current_ = nullptr;  // mapping being faulted in
    bool cancel_ = false;
    bool started_ = false;
};

}  // namespace

void ahead(void* base, std::size_t offset, std::size_t length) {
    if (length > 0) worker::get().ahead(static_cast<char*>(base), offset, length);
}

void forget(void* base) { worker::get().forget(static_cast<char*>(base)); }

}  // namespace sf::formats::prefault
