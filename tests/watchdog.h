// Ends the test program when a step runs far past any reasonable time, so a
// hang is a failure with a message rather than a stuck run. It is not a
// speed check: its limit is meant to hold on the slowest, busiest machine.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

namespace sf::test {

class watchdog {
public:
    watchdog(std::chrono::seconds limit, std::string what) : what_(std::move(what)) {
        thread_ = std::thread([this, limit] {
            std::unique_lock lock(mutex_);
            if (!done_.wait_for(lock, limit, [this] { return disarmed_; })) {
                std::fprintf(stderr, "watchdog: %s still running after %lld s\n", what_.c_str(),
                             static_cast<long long>(limit.count()));
                std::abort();
            }
        });
    }
    ~watchdog() {
        {
            std::lock_guard lock(mutex_);
            disarmed_ = true;
        }
        done_.notify_one();
        thread_.join();
    }
    watchdog(const watchdog&) = delete;
    watchdog& operator=(const watchdog&) = delete;

private:
    std::string what_;
    std::mutex mutex_;
    std::condition_variable done_;
    bool disarmed_ = false;
    std::thread thread_;
};

}  // namespace sf::test
