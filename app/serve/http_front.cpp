#include "app/serve/http_front.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <optional>
#include <set>
#include <stdexcept>
#include <string_view>

#include "formats/errors.h"

namespace sf::app {

using clock_type = std::chrono::steady_clock;

struct http_front::connection {
    int fd = -1;
    std::string address;
    int port = 0;
    std::string in;          // bytes read, from the start of the current request
    std::size_t head = 0;    // the current request's head length once it is read
    std::size_t frame = 0;   // the current request's length (head and body) once its head is read
    std::size_t reserved = 0;  // of the server's body budget
    std::string out;         // answer bytes the client has not taken yet, from out_at
    std::size_t out_at = 0, counted = 0;  // counted: of the server's unsent bytes
    bool close_after = false;  // closed once out is sent
    bool waiting = false;    // framed, waiting for the unsent answers of others to drop
    bool quick = false;      // runs in the quick lane
    bool poll = false;       // a state request with since
    std::uint64_t since = 0;
    bool parked = false, draining = false;
    bool peer_done = false;  // the client sent all it will (it shut down its side)
    unsigned served = 0;
    clock_type::time_point idle_since, started, progress, parked_at, drain_until, answered, out_progress;
};

namespace {

constexpr std::size_t k_read_chunk = 64 << 10;
constexpr auto k_drain = std::chrono::milliseconds(2000);
constexpr std::size_t k_drain_step = 1 << 20;  // read and dropped per wake-up
constexpr auto k_scan = std::chrono::milliseconds(50);
// A connection's state polls are answered at most this often: while edits
// and a build change the state many times a second, each open page gets a
// few answers that carry them all, not one per change.
constexpr auto k_poll_every = std::chrono::milliseconds(50);
// Bodies up to this size are not counted against the body budget, so that
// large uploads never keep an edit out.
constexpr std::size_t k_small_body = 64 << 10;

// Handlers read the request framed by the event thread, from memory. An
// answer goes to the socket as far as the client takes it at once; the rest
// is kept for the event thread to send, so no request thread ever waits for
// a client.
class front_stream final : public httplib::Stream {
public:
    explicit front_stream(http_front::connection& c) : c_(c) {}

    bool is_readable() const override { return at_ < c_.frame; }
    bool is_writable() const override { return true; }
    ssize_t read(char* ptr, size_t size) override {
        const std::size_t n = std::min(size, c_.frame - at_);
        std::memcpy(ptr, c_.in.data() + at_, n);
        at_ += n;
        return ssize_t(n);
    }
    ssize_t write(const char* ptr, size_t size) override {
        const std::size_t whole = size;
        while (c_.out.empty() && size > 0) {
            const ssize_t n = ::send(c_.fd, ptr, size, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) {
                ptr += n;
                size -= std::size_t(n);
            } else if (n < 0 && errno == EINTR) {
                continue;
            } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                break;
            } else {
                return -1;
            }
        }
        c_.out.append(ptr, size);
        return ssize_t(whole);
    }
    void get_remote_ip_and_port(std::string& ip, int& port) const override {
        ip = c_.address;
        port = c_.port;
    }
    void get_local_ip_and_port(std::string& ip, int& port) const override {
        sockaddr_storage addr{};
        socklen_t len = sizeof addr;
        ip.clear();
        port = 0;
        if (::getsockname(c_.fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
            char host[INET6_ADDRSTRLEN] = {};
            if (addr.ss_family == AF_INET) {
                const auto* a = reinterpret_cast<const sockaddr_in*>(&addr);
                ::inet_ntop(AF_INET, &a->sin_addr, host, sizeof host);
                port = ntohs(a->sin_port);
            } else if (addr.ss_family == AF_INET6) {
                const auto* a = reinterpret_cast<const sockaddr_in6*>(&addr);
                ::inet_ntop(AF_INET6, &a->sin6_addr, host, sizeof host);
                port = ntohs(a->sin6_port);
            }
            ip = host;
        }
    }
    socket_t socket() const override { return c_.fd; }

private:
    http_front::connection& c_;
    std::size_t at_ = 0;
};

void peer_of(int fd, std::string& address, int& port) {
    sockaddr_storage addr{};
    socklen_t len = sizeof addr;
    char host[INET6_ADDRSTRLEN] = {};
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return;
    if (addr.ss_family == AF_INET) {
        const auto* a = reinterpret_cast<const sockaddr_in*>(&addr);
        ::inet_ntop(AF_INET, &a->sin_addr, host, sizeof host);
        port = ntohs(a->sin_port);
    } else if (addr.ss_family == AF_INET6) {
        const auto* a = reinterpret_cast<const sockaddr_in6*>(&addr);
        ::inet_ntop(AF_INET6, &a->sin6_addr, host, sizeof host);
        port = ntohs(a->sin6_port);
    }
    address = host;
}

// A short answer written by the event thread itself; best effort.
std::string answer_text(int status, std::string_view reason, std::string_view body) {
    std::string out = "HTTP/1.1 " + std::to_string(status) + " " + std::string(reason) +
                      "\r\nContent-Type: application/json\r\nCache-Control: no-store\r\nContent-Length: " +
                      std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n";
    out += body;
    return out;
}

std::string error_json(std::string_view message) {
    std::string out = "{\"error\":\"";
    out += message;  // fixed texts without quotes
    out += "\"}";
    return out;
}

bool equals_lower(std::string_view a, std::string_view lower) {
    return a.size() == lower.size() &&
           std::equal(a.begin(), a.end(), lower.begin(), [](char x, char y) { return std::tolower((unsigned char)x) == y; });
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

bool all_digits(std::string_view s) {
    return !s.empty() && s.size() <= 19 && std::all_of(s.begin(), s.end(), [](unsigned char c) { return std::isdigit(c); });
}

// Inline "queue" for the accept thread: a new socket is only handed to the
// event thread, which never blocks.
class inline_queue final : public httplib::TaskQueue {
public:
    void enqueue(std::function<void()> fn) override { fn(); }
    void shutdown() override {}
};

}  // namespace

http_front::http_front(front_limits limits, std::function<std::uint64_t()> version)
    : limits_(std::move(limits)), version_(std::move(version)) {
    new_task_queue = [] { return new inline_queue; };
    epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
    event_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (epoll_ < 0 || event_ < 0) throw machine_error("cannot set up the connection loop");
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = event_;
    ::epoll_ctl(epoll_, EPOLL_CTL_ADD, event_, &ev);
    quick_ = std::make_unique<httplib::ThreadPool>(limits_.quick_threads);
    slow_ = std::make_unique<httplib::ThreadPool>(limits_.slow_threads);
    loop_thread_ = std::thread([this] { loop(); });
}

http_front::~http_front() {
    finish();
    ::close(epoll_);
    ::close(event_);
}

void http_front::finish() {
    stop_all();
    if (loop_thread_.joinable()) loop_thread_.join();
    if (quick_) quick_->shutdown();
    if (slow_) slow_->shutdown();
    quick_.reset();
    slow_.reset();
}

void http_front::signal() {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(event_, &one, sizeof one);
}

void http_front::wake() { signal(); }

int http_front::bind_to(const std::string& host, int port) {
    if (port == 0) port = bind_to_any_port(host);
    else if (!bind_to_port(host, port)) port = -1;
    // The library listens with a backlog of a few connections; a burst of
    // new ones would wait a second for the SYN to be sent again.
    if (port > 0) ::listen(svr_sock_, SOMAXCONN);
    return port;
}

bool http_front::run() { return listen_after_bind(); }

void http_front::stop_all() {
    stopping_ = true;
    stop();
    signal();
}

// On the accept thread: count the connection against the caps and hand it
// to the event thread.
bool http_front::process_and_close_socket(socket_t sock) {
    ::fcntl(sock, F_SETFL, ::fcntl(sock, F_GETFL) | O_NONBLOCK);
    // Answers go out in several writes (head, body); none waits for an ACK.
    const int on = 1;
    ::setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    auto c = std::make_unique<connection>();
    c->fd = sock;
    peer_of(sock, c->address, c->port);
    {
        std::lock_guard lock(mutex_);
        std::size_t& mine = per_address_[c->address];
        if (!stopping_ && open_ < limits_.total && mine < limits_.per_address) {
            ++mine;
            ++open_;
            incoming_.push_back(std::move(c));
        } else if (mine == 0) {
            per_address_.erase(c->address);
        }
    }
    if (c) {
        const std::string text = answer_text(503, "Service Unavailable", error_json("too many connections; try again"));
        [[maybe_unused]] const ssize_t n = ::send(sock, text.data(), text.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        ::close(sock);
        return false;
    }
    signal();
    return true;
}

void http_front::unreserve(connection& c) {
    buffered_ -= c.reserved;
    c.reserved = 0;
}

// Brings the server's count of unsent answer bytes up to date with c's.
void http_front::unsent(connection& c) {
    const std::size_t now = c.out.size() - c.out_at;
    unsent_ += now;
    unsent_ -= c.counted;
    c.counted = now;
}

void http_front::close_connection(std::unique_ptr<connection> c) {
    unreserve(*c);
    c->out.clear();
    c->out_at = 0;
    unsent(*c);
    ::close(c->fd);
    std::lock_guard lock(mutex_);
    --open_;
    if (const auto it = per_address_.find(c->address); it != per_address_.end() && --it->second == 0)
        per_address_.erase(it);
}

void http_front::hand_back(std::unique_ptr<connection> c) {
    {
        std::lock_guard lock(mutex_);
        if (!stopping_) {
            incoming_.push_back(std::move(c));
        }
    }
    if (c) return close_connection(std::move(c));
    signal();
}

// On a request thread: one request, then the connection goes back to the
// event thread (or is closed).
void http_front::serve(std::unique_ptr<connection> c) {
    if (stopping_) return close_connection(std::move(c));
    bool closed = false;
    const bool last = ++c->served >= limits_.requests_per_connection || c->peer_done;
    bool ok = false;
    {
        front_stream stream(*c);
        try {
            ok = process_request(stream, last, closed, [this](httplib::Request& req) {
                // The body is already here; nobody waits for a 100 Continue.
                req.headers.erase("Expect");
                if (limits_.prepare) limits_.prepare(req);
            });
        } catch (...) {
            ok = false;
        }
    }
    unreserve(*c);
    // The request's bytes go, and with them a large buffer: an idle
    // connection keeps only what the client already sent of the next one.
    c->in.erase(0, c->frame);
    c->in.shrink_to_fit();
    c->head = c->frame = 0;
    unsent(*c);
    c->close_after = closed || last;
    if (!ok || stopping_ || (c->close_after && c->out.empty())) return close_connection(std::move(c));
    if (c->poll) c->answered = clock_type::now();
    c->poll = c->quick = false;
    hand_back(std::move(c));
}

void http_front::take(std::unique_ptr<connection> c, clock_type::time_point now) {
    const int fd = c->fd;
    c->idle_since = c->out_progress = now;
    epoll_event ev{};
    // The rest of an answer is sent before the next request is read.
    ev.events = c->out.empty() ? EPOLLIN | EPOLLRDHUP : EPOLLOUT;
    ev.data.fd = fd;
    if (::epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &ev) != 0) return close_connection(std::move(c));
    connection& held = *c;
    idle_[fd] = std::move(c);
    if (held.out.empty() && !held.in.empty()) {
        held.started = held.progress = now;
        advance(held, now);
    }
}

void http_front::dispatch(int fd, bool quick) {
    const auto it = idle_.find(fd);
    if (it == idle_.end()) return;
    ::epoll_ctl(epoll_, EPOLL_CTL_DEL, fd, nullptr);
    connection* c = it->second.release();
    idle_.erase(it);
    if (c->parked) {
        c->parked = false;
        --parked_;
    }
    c->waiting = false;
    (quick ? quick_ : slow_)->enqueue([this, c] { serve(std::unique_ptr<connection>(c)); });
}

// Answers (when given) and closes; the client's remaining bytes are read
// and dropped for a moment so that it sees the answer rather than a reset.
void http_front::drop(int fd, const char* answer) {
    const auto it = idle_.find(fd);
    if (it == idle_.end()) return;
    connection& c = *it->second;
    if (c.parked) {
        c.parked = false;
        --parked_;
    }
    if (!answer || c.draining) {
        ::epoll_ctl(epoll_, EPOLL_CTL_DEL, fd, nullptr);
        std::unique_ptr<connection> owned = std::move(it->second);
        idle_.erase(it);
        return close_connection(std::move(owned));
    }
    [[maybe_unused]] const ssize_t n = ::send(fd, answer, std::strlen(answer), MSG_NOSIGNAL | MSG_DONTWAIT);
    ::shutdown(fd, SHUT_WR);
    c.draining = true;
    c.in.clear();
    c.drain_until = clock_type::now() + k_drain;
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLRDHUP;
    ev.data.fd = fd;
    ::epoll_ctl(epoll_, EPOLL_CTL_MOD, fd, &ev);
}

namespace {

// A request head as the server reads it: the one reading that decides both
// the framing and the meaning. The head is passed on to the request parser
// rewritten in a plain form that parser reads the same way: one field per
// line, values trimmed, '%' escaped (the parser decodes it in values);
// ranges are dropped (answers are always whole). Anything that could be
// read two ways is refused: bare CR or LF, folded lines, a space before the
// colon, control bytes, a field given twice. `refusal` is set to the answer
// to drop the connection with when the head is refused.
struct request_head {
    std::string_view method, target;
    std::optional<std::size_t> length;
    bool expect_continue = false;
    std::string canonical;
    const char* refusal = nullptr;
};

bool is_token(std::string_view s) {
    static constexpr std::string_view extra = "!#$%&'*+-.^_`|~";
    return !s.empty() && std::all_of(s.begin(), s.end(), [](unsigned char c) {
        return std::isalnum(c) || extra.find(char(c)) != std::string_view::npos;
    });
}

request_head parse_head(std::string_view head) {
    static const std::string bad = answer_text(400, "Bad Request", error_json("malformed request"));
    static const std::string too_long =
        answer_text(431, "Request Header Fields Too Large", error_json("a request header line is too long"));
    constexpr std::size_t k_line_max = 8000;  // the request parser's limit is 8192
    request_head h;
    std::size_t eol = head.find("\r\n");
    const std::string_view line = head.substr(0, eol);
    const std::size_t sp1 = line.find(' '), sp2 = line.find(' ', sp1 + 1);
    if (sp1 == std::string_view::npos || sp2 == std::string_view::npos || line.find(' ', sp2 + 1) != std::string_view::npos) {
        h.refusal = bad.c_str();
        return h;
    }
    h.method = line.substr(0, sp1);
    h.target = line.substr(sp1 + 1, sp2 - sp1 - 1);
    const std::string_view version = line.substr(sp2 + 1);
    if (!is_token(h.method) || h.target.empty() || (version != "HTTP/1.1" && version != "HTTP/1.0") ||
        !std::all_of(h.target.begin(), h.target.end(), [](unsigned char c) { return c > 0x20 && c < 0x7F; })) {
        h.refusal = bad.c_str();
        return h;
    }
    if (line.size() > k_line_max) {
        h.refusal = too_long.c_str();
        return h;
    }
    h.canonical.reserve(head.size() + 4);
    h.canonical.append(line).append("\r\n");
    std::set<std::string> seen;
    while (eol != std::string_view::npos) {
        const std::size_t next = head.find("\r\n", eol + 2);
        const std::string_view field = head.substr(eol + 2, next == std::string_view::npos ? next : next - eol - 2);
        eol = next;
        const std::size_t colon = field.find(':');
        if (colon == std::string_view::npos || !is_token(field.substr(0, colon))) {
            h.refusal = bad.c_str();
            return h;
        }
        const std::string_view name = field.substr(0, colon), value = trim(field.substr(colon + 1));
        if (std::any_of(value.begin(), value.end(), [](unsigned char c) { return (c < 0x20 && c != '\t') || c == 0x7F; })) {
            h.refusal = bad.c_str();
            return h;
        }
        std::string lower(name);
        std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return char(std::tolower(c)); });
        if (!seen.insert(lower).second) {
            h.refusal = bad.c_str();
            return h;
        }
        if (lower == "transfer-encoding") {
            static const std::string chunked =
                answer_text(411, "Length Required", error_json("send the request body with a Content-Length"));
            h.refusal = chunked.c_str();
            return h;
        }
        if (lower == "expect") h.expect_continue = equals_lower(value, "100-continue");
        if (lower == "content-length") {
            if (!all_digits(value)) {
                h.refusal = bad.c_str();
                return h;
            }
            h.length = std::stoull(std::string(value));
        }
        // An empty value is no value to the request parser either.
        if (value.empty() || lower == "range" || lower == "if-range") continue;
        const std::size_t start = h.canonical.size();
        h.canonical.append(name).append(": ");
        for (const char c : value) {
            if (c == '%') h.canonical += "%25";
            else h.canonical += c;
        }
        if (h.canonical.size() - start > k_line_max) {
            h.refusal = too_long.c_str();
            return h;
        }
        h.canonical += "\r\n";
    }
    h.canonical += "\r\n";
    return h;
}

// The lane a request runs in, and whether it is a state poll (with the
// version it has seen).
void classify_request(http_front::connection& c, std::string_view method, std::string_view target) {
    const std::size_t query = target.find('?');
    const std::string_view path = target.substr(0, query);
    // The page's files are large answers: with downloads, not beside edits.
    c.quick = (method == "GET" && (path == "/api/panel" || path == "/api/state" || path == "/api/presets" ||
                                   path == "/api/presets/thumbnail")) ||
              (method == "POST" && path == "/api/set");
    c.poll = false;
    if (method == "GET" && path == "/api/state" && query != std::string_view::npos) {
        std::string_view rest = target.substr(query + 1);
        while (!rest.empty()) {
            const std::size_t amp = rest.find('&');
            const std::string_view param = rest.substr(0, amp);
            if (param.substr(0, 6) == "since=" && all_digits(param.substr(6))) {
                c.poll = true;
                c.since = std::stoull(std::string(param.substr(6)));
            }
            rest = amp == std::string_view::npos ? std::string_view() : rest.substr(amp + 1);
        }
    }
}

}  // namespace

// Frames the request once its head is in: its head rewritten as the
// request parser is to read it, its length, the lane. False while the head
// is not in yet, or when the connection was dropped.
bool http_front::frame_request(connection& c) {
    const int fd = c.fd;
    const std::size_t end = c.in.find("\r\n\r\n");
    if (end == std::string::npos || end + 4 > limits_.max_head) {
        static const std::string too_long =
            answer_text(431, "Request Header Fields Too Large", error_json("the request head is too long"));
        if (c.in.size() > limits_.max_head || end != std::string::npos) drop(fd, too_long.c_str());
        return false;
    }
    const request_head h = parse_head(std::string_view(c.in.data(), end));
    if (h.refusal) {
        drop(fd, h.refusal);
        return false;
    }
    const std::optional<std::size_t>& length = h.length;
    if (length && *length > limits_.max_body) {
        const std::string text = answer_text(413, "Payload Too Large", limits_.too_large);
        drop(fd, text.c_str());
        return false;
    }
    classify_request(c, h.method, h.target);
    const bool go_on = h.expect_continue && c.in.size() < end + 4 + length.value_or(0);
    c.in.replace(0, end + 4, h.canonical);
    c.head = h.canonical.size();
    c.frame = c.head + length.value_or(0);
    if (go_on) {
        static const char go_on[] = "HTTP/1.1 100 Continue\r\n\r\n";
        [[maybe_unused]] const ssize_t n = ::send(fd, go_on, sizeof go_on - 1, MSG_NOSIGNAL | MSG_DONTWAIT);
    }
    return true;
}

// Counts a large body's bytes against the server's budget as they arrive,
// so that announcing a large body costs nothing until it is sent; past the
// budget the request is refused (and the connection dropped).
bool http_front::hold_body(connection& c) {
    if (c.frame - c.head <= k_small_body) return true;
    const std::size_t held = std::min(c.in.size(), c.frame) - c.head;
    if (held <= c.reserved) return true;
    const std::size_t more = held - c.reserved;
    if (buffered_.fetch_add(more) + more > limits_.max_buffered) {
        buffered_ -= more;
        static const std::string busy =
            answer_text(503, "Service Unavailable", error_json("the server is busy with other uploads; try again"));
        drop(c.fd, busy.c_str());
        return false;
    }
    c.reserved = held;
    return true;
}

// Sends what the client has not taken yet of its answer; once all is sent,
// the connection is closed or reads its next request.
void http_front::writable(connection& c, clock_type::time_point now) {
    const int fd = c.fd;
    while (c.out_at < c.out.size()) {
        const ssize_t n = ::send(fd, c.out.data() + c.out_at, c.out.size() - c.out_at, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            c.out_at += std::size_t(n);
            c.out_progress = now;
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            unsent(c);
            return;
        } else {
            return drop(fd);
        }
    }
    std::string().swap(c.out);
    c.out_at = 0;
    unsent(c);
    if (c.close_after) return drop(fd);
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLRDHUP;
    ev.data.fd = fd;
    ::epoll_ctl(epoll_, EPOLL_CTL_MOD, fd, &ev);
    c.idle_since = now;
    if (!c.in.empty()) {
        c.started = c.progress = now;
        advance(c, now);
    }
}

// The connection's buffered bytes: frames the request once its head is in,
// then parks it (a state poll with nothing new yet) or hands it to a lane.
void http_front::advance(connection& c, clock_type::time_point now) {
    const int fd = c.fd;
    if (c.frame == 0 && !frame_request(c)) return;
    if (!hold_body(c) || c.in.size() < c.frame) return;
    if (unsent_ >= limits_.max_unsent) {
        // Many answers wait for clients that do not take them: this request
        // waits (without a thread) until they are sent or dropped.
        c.waiting = true;
        epoll_event ev{};
        ev.data.fd = fd;
        ::epoll_ctl(epoll_, EPOLL_CTL_MOD, fd, &ev);
        return;
    }
    if (c.poll && !c.peer_done && (c.since >= version_() || now < c.answered + k_poll_every)) {
        c.parked = true;
        c.parked_at = now;
        ++parked_;
        epoll_event ev{};
        ev.events = EPOLLRDHUP;  // only a hang-up matters while it waits
        ev.data.fd = fd;
        ::epoll_ctl(epoll_, EPOLL_CTL_MOD, fd, &ev);
        return;
    }
    dispatch(fd, c.quick);
}

// A connection's socket is ready: reads what the request may still take
// (or drains), then answers a parked poll whose client shut down, drops a
// closed connection, or advances the request.
void http_front::readable(connection& c, std::uint32_t events, std::vector<char>& buffer,
                          clock_type::time_point now) {
    const int fd = c.fd;
    try {
        bool open = true, eof = false;
        std::size_t dropped = 0;
        for (;;) {
            const std::size_t limit = c.frame ? c.frame : limits_.max_head + 1;
            const std::size_t room = c.draining ? (dropped < k_drain_step ? buffer.size() : 0)
                                                : limit - std::min(limit, c.in.size());
            if (room == 0 || c.parked) break;
            const ssize_t got = ::recv(fd, buffer.data(), std::min(room, buffer.size()), 0);
            if (got > 0) {
                if (c.draining) {
                    dropped += std::size_t(got);
                    continue;
                }
                if (c.in.empty()) c.started = now;
                c.progress = now;
                c.in.append(buffer.data(), std::size_t(got));
                continue;
            }
            if (got < 0 && errno == EINTR) continue;
            open = got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
            eof = got == 0;
            break;
        }
        if (c.parked && (events & (EPOLLHUP | EPOLLERR))) open = false;
        if (c.parked && open && (events & EPOLLRDHUP)) {
            // Shut down after asking: answered now, as it is (a closed page fails the write).
            c.peer_done = true;
            dispatch(fd, true);
            return;
        }
        if (!open) {
            // A request sent whole before the client shut down its side is still answered.
            if (eof && !c.parked && !c.draining && !c.in.empty()) {
                c.peer_done = true;
                advance(c, now);
                // (c may be on a request thread now)
                if (const auto it = idle_.find(fd); it != idle_.end() && !it->second->waiting) drop(fd);
            } else {
                drop(fd);
            }
            return;
        }
        if (!c.draining && !c.parked) advance(c, now);
    } catch (const std::exception&) {
        drop(fd);  // out of memory for its bytes
    }
}

// Polls with news are answered, unless their last answer was just now.
// True when some wait for that: another release is due.
bool http_front::release_polls(clock_type::time_point now) {
    bool due = false;
    const std::uint64_t version = version_();
    std::vector<int> ready;
    for (const auto& [fd, c] : idle_)
        if (c->parked && c->since < version) {
            if (now >= c->answered + k_poll_every) ready.push_back(fd);
            else due = true;
        }
    for (const int fd : ready) dispatch(fd, true);
    return due;
}

// Closes drained and idle connections, times out slow requests, and
// answers polls that waited their time.
void http_front::scan_connections(clock_type::time_point now) {
    static const std::string timed_out =
        answer_text(408, "Request Timeout", error_json("the request came too slowly"));
    std::vector<std::pair<int, int>> due;  // fd, 0 close / 1 time out / 2 answer the poll / 3 dispatch
    for (const auto& [fd, c] : idle_) {
        if (c->out_at < c->out.size()) {
            if (now >= c->out_progress + limits_.write_stall) due.emplace_back(fd, 0);
        } else if (c->waiting) {
            if (unsent_ < limits_.max_unsent) due.emplace_back(fd, 3);
        } else if (c->draining) {
            if (now >= c->drain_until) due.emplace_back(fd, 0);
        } else if (c->parked) {
            if (now >= c->parked_at + limits_.poll_wait) due.emplace_back(fd, 2);
        } else if (c->in.empty()) {
            if (now >= c->idle_since + limits_.keep_alive) due.emplace_back(fd, 0);
        } else if (now >= c->started + limits_.request_time || now >= c->progress + limits_.slow_after) {
            due.emplace_back(fd, 1);
        }
    }
    for (const auto& [fd, what] : due) {
        if (what == 2) dispatch(fd, true);
        else if (what == 3) dispatch(fd, idle_.at(fd)->quick);
        else drop(fd, what == 1 ? timed_out.c_str() : nullptr);
    }
}

void http_front::loop() {
    std::vector<epoll_event> events(256);
    auto last_scan = clock_type::now();
    bool release_due = false;
    std::vector<char> buffer(k_read_chunk);
    while (!stopping_) {
        const int n = ::epoll_wait(epoll_, events.data(), int(events.size()), int(k_scan.count()));
        const auto now = clock_type::now();
        bool woken = false;
        for (int k = 0; k < n; ++k) {
            const int fd = events[k].data.fd;
            if (fd == event_) {
                std::uint64_t count;
                [[maybe_unused]] const ssize_t r = ::read(event_, &count, sizeof count);
                woken = true;
                continue;
            }
            const auto it = idle_.find(fd);
            if (it == idle_.end()) continue;
            connection& c = *it->second;
            if (c.out_at < c.out.size() || c.waiting) {
                if (events[k].events & (EPOLLERR | EPOLLHUP)) drop(fd);
                else if (events[k].events & EPOLLOUT) writable(c, now);
                continue;
            }
            readable(c, events[k].events, buffer, now);
        }
        if (woken) {
            std::vector<std::unique_ptr<connection>> arrived;
            {
                std::lock_guard lock(mutex_);
                arrived.swap(incoming_);
            }
            for (auto& c : arrived) take(std::move(c), now);
            release_due = release_due || parked_ > 0;
        }
        const bool scan = now - last_scan >= k_scan;
        if (release_due || (scan && parked_ > 0)) release_due = release_polls(now);
        if (scan) {
            last_scan = now;
            scan_connections(now);
        }
    }
    for (auto& [fd, c] : idle_) close_connection(std::move(c));
    idle_.clear();
    parked_ = 0;
    std::vector<std::unique_ptr<connection>> left;
    {
        std::lock_guard lock(mutex_);
        left.swap(incoming_);
    }
    for (auto& c : left) close_connection(std::move(c));
}

}  // namespace sf::app
