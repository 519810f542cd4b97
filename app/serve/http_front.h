// The server's connection handling. One event thread owns every idle
// connection: it reads each request whole (head and body) before any
// request thread sees it, keeps idle keep-alive connections and waiting
// state polls without a thread, and closes connections that are too slow.
// Request threads only run handlers, in two lanes so that quick requests
// never queue behind ones that wait for the tool; what a client does not
// take at once of an answer is left to the event thread to send.
#pragma once

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace sf::app {

struct front_limits {
    std::size_t max_body = std::size_t(64) << 20;
    std::size_t max_head = 16 << 10;
    // A request must arrive whole this long after its first byte, and may
    // not stall for longer than slow_after in between.
    std::chrono::milliseconds request_time{10000};
    std::chrono::milliseconds slow_after{2000};
    std::chrono::milliseconds write_stall{2000};
    std::chrono::milliseconds keep_alive{5000};
    std::chrono::milliseconds poll_wait{20000};
    std::size_t per_address = 256, total = 2048;
    std::size_t max_buffered = std::size_t(512) << 20;  // body bytes held at once
    std::size_t max_unsent = std::size_t(256) << 20;    // answer bytes waiting for their clients
    unsigned quick_threads = 4, slow_threads = 12;
    unsigned requests_per_connection = 1000;
    std::string too_large;  // JSON error body for a refused oversized request
    // Called on the request thread before a request is routed.
    std::function<void(httplib::Request&)> prepare;
};

class http_front : public httplib::Server {
public:
    // version answers the state version; a `GET /api/state?since=V` with V
    // at or past it waits (without a thread) until wake() or poll_wait.
    http_front(front_limits limits, std::function<std::uint64_t()> version);
    ~http_front() override;

    // The state changed; waiting polls are answered. Any thread.
    void wake();
    // Binds to host and port (0: any free port); answers the port, or -1.
    int bind_to(const std::string& host, int port);
    // Listens until stop_all(); in the calling thread.
    bool run();
    // Stops listening and closes every connection; request threads finish
    // what they run. Any thread.
    void stop_all();
    // stop_all(), then waits for the event thread and the request threads.
    // Not on a request thread.
    void finish();

    struct connection;

private:
    bool process_and_close_socket(socket_t sock) override;
    void loop();
    void serve(std::unique_ptr<connection> c);
    void hand_back(std::unique_ptr<connection> c);
    void close_connection(std::unique_ptr<connection> c);
    void signal();
    void unreserve(connection& c);
    void unsent(connection& c);

    // On the event thread only.
    void take(std::unique_ptr<connection> c, std::chrono::steady_clock::time_point now);
    bool frame_request(connection& c);
    bool hold_body(connection& c);
    void writable(connection& c, std::chrono::steady_clock::time_point now);
    void advance(connection& c, std::chrono::steady_clock::time_point now);
    void readable(connection& c, std::uint32_t events, std::vector<char>& buffer,
                  std::chrono::steady_clock::time_point now);
    bool release_polls(std::chrono::steady_clock::time_point now);
    void scan_connections(std::chrono::steady_clock::time_point now);
    void dispatch(int fd, bool quick);
    void drop(int fd, const char* answer = nullptr);

    front_limits limits_;
    std::function<std::uint64_t()> version_;
    int epoll_ = -1, event_ = -1;
    std::atomic<bool> stopping_{false};

    mutable std::mutex mutex_;
    std::vector<std::unique_ptr<connection>> incoming_;  // new and handed back
    std::map<std::string, std::size_t> per_address_;
    std::size_t open_ = 0;
    std::atomic<std::size_t> parked_{0};
    std::atomic<std::size_t> buffered_{0};  // body bytes held by connections
    std::atomic<std::size_t> unsent_{0};    // answer bytes not yet sent

    std::map<int, std::unique_ptr<connection>> idle_;  // event thread only
    std::unique_ptr<httplib::ThreadPool> quick_, slow_;
    std::thread loop_thread_;
};

}  // namespace sf::app
