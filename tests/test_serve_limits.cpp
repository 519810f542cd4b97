// The web server under many waiting polls, slow or hostile clients, and
// stopping while work is still running. The program runs as `sylvaform
// serve` in its own process, with its temporary folder in a scratch dir.
#include <arpa/inet.h>
#include <httplib.h>
#include <netinet/in.h>
#include <nlohmann/json.hpp>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <thread>

#include "serve_fixture.h"

namespace {

using nlohmann::json;
using sf::test::scratch_dir;
using sf::test::serve_process;
using std::chrono::milliseconds;
using std::chrono::steady_clock;

constexpr unsigned k_branches = 0x8002;

// A raw connection, for requests no well-behaved client sends.
class raw_socket {
public:
    explicit raw_socket(int port, const char* from = nullptr) {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        if (from) {
            sockaddr_in local{};
            local.sin_family = AF_INET;
            ::inet_pton(AF_INET, from, &local.sin_addr);
            EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local), 0);
        }
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(std::uint16_t(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    }
    ~raw_socket() { ::close(fd_); }
    // A small receive window, so that answers back up at once when unread.
    void small_window() {
        const int size = 4096;
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    }
    void send(const std::string& bytes) { [[maybe_unused]] auto n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL); }
    void end_sending() { ::shutdown(fd_, SHUT_WR); }
    // What the first read brings (waiting up to `limit`).
    std::string receive_some(milliseconds limit) {
        timeval tv{long(limit.count() / 1000), long(limit.count() % 1000) * 1000};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        char buf[256];
        const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
        return n > 0 ? std::string(buf, std::size_t(n)) : std::string();
    }
    // What arrives until the server closes or `limit` passes.
    std::string receive(milliseconds limit) {
        timeval tv{long(limit.count() / 1000), long(limit.count() % 1000) * 1000};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        std::string out;
        char buf[4096];
        for (ssize_t n; (n = ::recv(fd_, buf, sizeof buf, 0)) > 0;) out.append(buf, std::size_t(n));
        return out;
    }

private:
    int fd_ = -1;
};

std::string host_header(int port) { return "Host: 127.0.0.1:" + std::to_string(port) + "\r\n"; }

json state(httplib::Client& c) {
    const auto res = c.Get("/api/state");
    return res && res->status == 200 ? json::parse(res->body) : json();
}

TEST(ServeLimits, WaitingPollsHoldNoRequestThreads) {
    scratch_dir dir;
    serve_process server(dir, "1");
    // Starved, it would answer only when the polls end (20 s): well past this.
    auto c = server.client(8);
    const json s = state(*c);
    ASSERT_TRUE(s.is_object());
    const std::uint64_t version = s["version"].get<std::uint64_t>();

    // 200 polls for the next version, each on its own connection.
    constexpr int k_polls = 200;
    std::atomic<int> answered{0};
    std::vector<std::thread> polls;
    for (int k = 0; k < k_polls; ++k)
        polls.emplace_back([&, k] {
            httplib::Client p("127.0.0.1", server.port);
            p.set_read_timeout(30);
            const auto res = p.Get("/api/state?since=" + std::to_string(version + 1000000 * (k % 2)));
            if (res && res->status == 200) ++answered;
        });
    std::this_thread::sleep_for(milliseconds(500));

    // The panel and edits still answer.
    for (int k = 0; k < 5; ++k) {
        const auto panel = c->Get("/api/panel");
        ASSERT_TRUE(panel) << "the panel did not answer beside 200 waiting polls";
        EXPECT_EQ(panel->status, 200);
        const auto set = c->Post("/api/set", json{{"id", k_branches}, {"value", 100 + k}}.dump(), "application/json");
        ASSERT_TRUE(set) << "an edit did not answer beside 200 waiting polls";
        EXPECT_EQ(set->status, 202);
    }
    // The edits passed the version half of the polls wait for: those answer.
    const auto start = steady_clock::now();
    while (answered < k_polls / 2 && steady_clock::now() - start < std::chrono::seconds(60))
        std::this_thread::sleep_for(milliseconds(20));
    EXPECT_EQ(answered.load(), k_polls / 2);

    // The others wait on; stopping answers or closes them at once.
    EXPECT_GE(server.stop(milliseconds(15000)), 0);
    for (auto& t : polls) t.join();
}

TEST(ServeLimits, SlowAndMalformedClientsAreCutOff) {
    scratch_dir dir;
    serve_process server(dir, "1");

    // Twelve clients that send a request a byte at a time, and one that stops
    // half-way: nobody else waits for them.
    std::atomic<bool> done{false};
    std::vector<std::thread> slow;
    const std::string request = "GET /api/panel HTTP/1.1\r\n" + host_header(server.port) + "\r\n";
    for (int k = 0; k < 12; ++k)
        slow.emplace_back([&] {
            raw_socket s(server.port);
            for (std::size_t i = 0; i < request.size() && !done; ++i) {
                s.send(request.substr(i, 1));
                std::this_thread::sleep_for(milliseconds(300));
            }
        });
    raw_socket stalled(server.port);
    stalled.send("POST /api/set HTTP/1.1\r\n" + host_header(server.port) + "Content-Length: 100\r\n\r\n{\"id\"");
    std::this_thread::sleep_for(milliseconds(200));
    auto c = server.client(8);
    for (int k = 0; k < 5; ++k) {
        const auto res = c->Get("/api/panel");
        ASSERT_TRUE(res) << "slow clients stalled the server";
        EXPECT_EQ(res->status, 200);
    }
    // The stalled request is answered 408 and closed.
    EXPECT_NE(stalled.receive(milliseconds(15000)).find(" 408 "), std::string::npos);
    done = true;
    for (auto& t : slow) t.join();

    const struct {
        const char* why;
        std::string request;
        const char* status;
    } framing[] = {
        {"chunked body", "POST /api/set HTTP/1.1\r\n" + host_header(server.port) + "Transfer-Encoding: chunked\r\n\r\n2\r\n{}\r\n0\r\n\r\n", " 411 "},
        {"two lengths", "POST /api/set HTTP/1.1\r\n" + host_header(server.port) + "Content-Length: 2\r\nContent-Length: 3\r\n\r\n{}", " 400 "},
        {"head too long", "GET /api/panel HTTP/1.1\r\n" + host_header(server.port) + "X: " + std::string(20000, 'x') + "\r\n\r\n", " 431 "},
        {"no version", "GET /api/panel\r\n\r\n", " 400 "},
        {"too large", "POST /api/crown?name=a.obj HTTP/1.1\r\n" + host_header(server.port) + "Content-Length: 99999999\r\n\r\n", " 413 "},
    };
    for (const auto& f : framing) {
        raw_socket s(server.port);
        s.send(f.request);
        EXPECT_NE(s.receive(milliseconds(15000)).find(f.status), std::string::npos) << f.why;
    }

    // Pipelined requests on one connection are answered in turn.
    raw_socket pipelined(server.port);
    pipelined.send("GET /api/panel HTTP/1.1\r\n" + host_header(server.port) + "\r\nGET /api/state HTTP/1.1\r\n" +
                   host_header(server.port) + "Connection: close\r\n\r\n");
    const std::string both = pipelined.receive(milliseconds(15000));
    EXPECT_EQ(both.find("HTTP/1.1 200"), 0u);
    EXPECT_NE(both.find("HTTP/1.1 200", 10), std::string::npos);
    EXPECT_NE(both.find("\"version\""), std::string::npos);

    // A client that shuts down its side after the request still gets the answer.
    raw_socket half(server.port);
    half.send("GET /api/state?since=999999 HTTP/1.1\r\n" + host_header(server.port) + "\r\n");
    half.end_sending();
    EXPECT_EQ(half.receive(milliseconds(15000)).find("HTTP/1.1 200"), 0u);
}

// One client address cannot take every connection: the ones beyond its cap
// are refused at once, and other addresses are served as before.
TEST(ServeLimits, ConnectionsAreCappedPerClientAddress) {
    scratch_dir dir;
    serve_process server(dir, "1");
    constexpr int k_cap = 256;
    std::vector<std::unique_ptr<raw_socket>> held;
    for (int k = 0; k < k_cap; ++k) held.push_back(std::make_unique<raw_socket>(server.port, "127.0.0.2"));
    // Each is answered, so each has surely been counted.
    const std::string ask = "GET /api/panel HTTP/1.1\r\n" + host_header(server.port) + "\r\n";
    for (auto& s : held) s->send(ask);
    for (auto& s : held) ASSERT_NE(s->receive_some(milliseconds(15000)).find("HTTP/1.1 200"), std::string::npos);

    raw_socket over(server.port, "127.0.0.2");  // answered on arrival
    EXPECT_NE(over.receive(milliseconds(15000)).find(" 503 "), std::string::npos);
    auto c = server.client(8);
    const auto res = c->Get("/api/panel");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
}

TEST(ServeLimits, BodiesAreTakenStrictlyAsSent) {
    scratch_dir dir;
    serve_process server(dir, "1");
    auto c = server.client();
    const json before = state(*c);

    const struct {
        const char* why;
        std::string body;
    } bodies[] = {
        {"NUL and junk after the value", std::string("{\"id\":32770,\"value\":10}\0junk", 29)},
        {"a second value", "{\"id\":32770,\"value\":10} {}"},
        {"a key twice", "{\"id\":32770,\"value\":10,\"value\":11}"},
        {"a key twice deeper down", "{\"id\":32770,\"value\":10,\"x\":[{\"a\":1,\"a\":1}]}"},
        {"nested too deep", std::string(100, '[') + std::string(100, ']')},
        {"empty", ""},
    };
    for (const auto& b : bodies) {
        const auto res = c->Post("/api/set", b.body, "application/json");
        ASSERT_TRUE(res) << b.why;
        EXPECT_EQ(res->status, 400) << b.why;
        EXPECT_FALSE(json::parse(res->body)["error"].get<std::string>().empty()) << b.why;
    }
    // The same key in two objects is fine; whitespace after the value too.
    auto res = c->Post("/api/set", "{\"id\":32770,\"value\":10,\"x\":{\"id\":1}}\n ", "application/json");
    EXPECT_EQ(res->status, 202);

    // A compressed body is refused, not inflated.
    httplib::Headers gzip{{"Content-Encoding", "gzip"}};
    res = c->Post("/api/set", gzip, std::string("\x1f\x8b\x08\x00", 4), "application/json");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 415);
    res = c->Post("/api/crown?name=box.obj", gzip, std::string("\x1f\x8b\x08\x00", 4), "application/octet-stream");
    EXPECT_EQ(res->status, 415);

    const json after = state(*c);
    EXPECT_EQ(after["crown"], before["crown"]);
}

// Stopping while a crown is being read: the process exits on SIGTERM and
// leaves no upload folder; a later server removes one left by a server
// that was killed.
TEST(ServeLimits, StoppingAlwaysWorksAndLeavesNoUploads) {
    scratch_dir dir;
    const std::filesystem::path tmp = dir.file("tmp");
    std::string crown;
    {
        constexpr int n = 900;
        crown.reserve(std::size_t(n) * n * 40);
        for (int i = 0; i < n; ++i)
            for (int j = 0; j < n; ++j)
                crown += "v " + std::to_string(i) + ".25 " + std::to_string(j) + ".5 1.125\n";
        for (int i = 0; i + 1 < n; ++i)
            for (int j = 0; j + 1 < n; ++j) {
                const int a = i * n + j + 1;
                crown += "f " + std::to_string(a) + " " + std::to_string(a + 1) + " " + std::to_string(a + n + 1) +
                         " " + std::to_string(a + n) + "\n";
            }
    }
    const auto uploads = [&] {
        std::size_t count = 0;
        for (const auto& e : std::filesystem::directory_iterator(tmp))
            count += e.path().filename().string().rfind("sylvaform-upload-", 0) == 0;
        return count;
    };

    // A folder from a server that died: its pid is gone.
    const pid_t dead = ::fork();
    if (dead == 0) ::_exit(0);
    ::waitpid(dead, nullptr, 0);
    std::filesystem::create_directories(tmp / ("sylvaform-upload-" + std::to_string(dead) + "-abcdef"));
    std::filesystem::create_directories(tmp / "sylvaform-upload-keep");  // not one of ours

    serve_process server(dir, "100");
    EXPECT_EQ(uploads(), 1u);  // only the foreign one is left

    std::thread upload([&] {
        auto c = server.client(30);
        c->Post("/api/crown?name=big.obj", crown, "application/octet-stream");
    });
    const auto start = steady_clock::now();
    while (uploads() < 2 && steady_clock::now() - start < std::chrono::seconds(60))
        std::this_thread::sleep_for(milliseconds(5));
    ASSERT_EQ(uploads(), 2u) << "the upload never reached the reader";
    // Gone with status 0 on SIGTERM, mid-read, without being killed.
    EXPECT_GE(server.stop(milliseconds(15000)), 0) << "the server did not stop on SIGTERM";
    upload.join();
    EXPECT_EQ(uploads(), 1u);
}

// The whole answer to a raw request (the server closes after it).
std::string ask(int port, const std::string& request) {
    raw_socket s(port);
    s.send(request);
    return s.receive(milliseconds(10000));  // a watchdog: answers come at once
}

std::string status_of(const std::string& answer) { return answer.substr(0, answer.find("\r\n")); }

// Hostile pages and files: a request must be addressed to the server by a
// loopback name or one it was told to answer to, whatever address it listens
// on; a head that could be read two ways is refused; shelf files are never
// followed out of the shelf; bytes a client sends never break an answer.
TEST(ServeSecurity, NamesHeadsShelfFilesAndQuotedBytes) {
    scratch_dir dir;
    serve_process server(dir, "1", {"--host", "127.0.0.1", "--allow-host", "Tree.Example"});
    const std::string port = std::to_string(server.port), edit = "{\"id\":32770,\"value\":120}";
    const auto post_set = [&](const std::string& host, const std::string& more = "") {
        return "POST /api/set HTTP/1.1\r\nHost: " + host + "\r\nOrigin: http://" + host +
               "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(edit.size()) + "\r\n" + more +
               "Connection: close\r\n\r\n" + edit;
    };
    // A rebound name is refused even with a matching Origin; the loopback
    // names and the allowed one are served.
    for (const std::string& host : std::vector<std::string>{"evil.example:" + port, "127.0.0.1", "127.0.0.1:1",
                                                             "tree.example.evil:" + port})
        EXPECT_EQ(status_of(ask(server.port, post_set(host))), "HTTP/1.1 403 Forbidden") << host;
    for (const std::string& host : {"127.0.0.1:" + port, "localhost:" + port, "tree.example:" + port})
        EXPECT_EQ(status_of(ask(server.port, post_set(host))), "HTTP/1.1 202 Accepted") << host;

    // Heads another reader could take differently.
    const std::string good = "127.0.0.1:" + port;
    const struct {
        const char* why;
        std::string request;
    } ambiguous[] = {
        {"bare LF inside a line", post_set(good, "X-A: 1\nHost: evil.example\r\n")},
        {"bare CR", post_set(good, "X-A: 1\rB\r\n")},
        {"space before the colon", "POST /api/set HTTP/1.1\r\nHost: " + good + "\r\nContent-Length : 2\r\n\r\n{}"},
        {"a second Host", post_set(good, "Host: evil.example:" + port + "\r\n")},
        {"a folded line", post_set(good, "X-A: 1\r\n b\r\n")},
        {"a space in the target", "GET /api/state x HTTP/1.1\r\nHost: " + good + "\r\n\r\n"},
        {"a control byte", post_set(good, std::string("X-A: a\0b\r\n", 10))},
    };
    for (const auto& a : ambiguous) EXPECT_EQ(status_of(ask(server.port, a.request)), "HTTP/1.1 400 Bad Request") << a.why;
    // '%' in a value is taken as sent, not decoded.
    EXPECT_EQ(status_of(ask(server.port, "GET /api/state HTTP/1.1\r\nHost: 127.0.0.1%3a" + port + "\r\n\r\n")),
              "HTTP/1.1 403 Forbidden");

    // Thumbnails: a link, a FIFO and an oversized file are no thumbnails.
    const std::filesystem::path shelf = dir.file("shelf");
    std::filesystem::create_directories(shelf);
    const std::string png = "\x89PNG\r\n\x1a\n";
    std::ofstream(dir.file("secret")) << png << "secret";
    std::ofstream(shelf / "plain.png") << png;
    std::filesystem::create_symlink(dir.file("secret"), shelf / "link.png");
    ASSERT_EQ(::mkfifo((shelf / "fifo.png").c_str(), 0600), 0);
    std::ofstream(shelf / "big.png") << png << std::string(std::size_t(2) << 20, 'x');
    auto c = server.client();
    EXPECT_EQ(c->Get("/api/presets/thumbnail?name=plain")->body, png);
    for (const char* name : {"link", "fifo", "big"}) {
        const auto res = c->Get(std::string("/api/presets/thumbnail?name=") + name);
        ASSERT_TRUE(res) << name;
        EXPECT_EQ(res->status, 404) << name;
        EXPECT_EQ(res->body.find("secret"), std::string::npos);
    }

    // Quoted bytes are escaped; the answer is JSON and a 4xx.
    const json before = state(*c);
    const std::string key = "\\u001b[31m\\u0085";
    std::string long_name = "/api/presets/thumbnail?name=";
    for (int k = 0; k < 70; ++k) long_name += "%FF";
    const struct {
        const char* why;
        std::string path, body;
    } quoting[] = {
        {"a long name of bytes that are not UTF-8", long_name, ""},
        {"a crown name that is not UTF-8", "/api/crown?name=%FF.obj", "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\n"},
        {"a key twice, with control characters", "/api/set", "{\"" + key + "\":1,\"" + key + "\":2}"},
    };
    for (const auto& q : quoting) {
        const std::string& path = q.path;
        const auto res = q.body.empty() ? c->Get(path)
                                        : c->Post(path, q.body, path == "/api/set" ? "application/json" : "application/octet-stream");
        ASSERT_TRUE(res) << q.why;
        EXPECT_EQ(res->status, 400) << q.why;
        const json body = json::parse(res->body);
        const std::string error = body["error"].get<std::string>();
        EXPECT_TRUE(std::none_of(error.begin(), error.end(), [](unsigned char b) { return b < 0x20 || b == 0x7F; }))
            << q.why;
        EXPECT_EQ(error.find("\xC2\x85"), std::string::npos) << q.why;
    }
    // The refused crown was not taken: the state still answers, as before.
    const json after = state(*c);
    ASSERT_TRUE(after.is_object());
    EXPECT_EQ(after["crown"], before["crown"]);
}

// No client costs more than a little memory or a moment of a request
// thread: the page is compressed once and nothing else is, ranges are ignored, answers to clients that do not read wait
// without a thread, duplicate keys are found in one pass, announced bodies
// reserve nothing until they arrive, and an idle connection keeps no buffer.
TEST(ServeResources, ClientsCannotHoldMemoryOrThreads) {
    scratch_dir dir;
    serve_process server(dir, "64");
    const std::string host = host_header(server.port);
    auto c = server.client(30);  // a watchdog: every answer here comes in milliseconds
    // Eight keep-alive connections, each after a 32 MiB request: their
    // buffers are gone.
    const long before = server.rss_mib();
    const std::string big(std::size_t(32) << 20, ' ');
    std::vector<std::unique_ptr<httplib::Client>> idle;
    for (int k = 0; k < 8; ++k) {
        idle.push_back(server.client(30));
        idle.back()->set_keep_alive(true);
        const auto res = idle.back()->Post("/api/set", big, "text/plain");
        ASSERT_TRUE(res);
        EXPECT_EQ(res->status, 415);
    }
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    // A sanitizer's allocator keeps freed memory resident on purpose.
    EXPECT_LT(server.rss_mib(), before + 100) << "idle connections keep their buffers";
#else
    (void)before;
#endif
    idle.clear();

    const auto page = c->Get("/app.js", {{"Accept-Encoding", "identity"}});
    ASSERT_TRUE(page && page->status == 200);
    // The page's files go out compressed (once), and decode to themselves.
    for (const char* encoding : {"br", "gzip"}) {
        const std::string raw = ask(server.port, "GET /app.js HTTP/1.1\r\n" + host + "Accept-Encoding: " + encoding +
                                                     "\r\nConnection: close\r\n\r\n");
        EXPECT_NE(raw.find(std::string("Content-Encoding: ") + encoding), std::string::npos) << encoding;
        const auto packed = c->Get("/app.js", {{"Accept-Encoding", encoding}});
        ASSERT_TRUE(packed && packed->status == 200);
        EXPECT_EQ(packed->body, page->body) << encoding;
        // Answers made per request are never compressed (a download would
        // cost seconds of CPU).
        const std::string panel = ask(server.port, "GET /api/panel HTTP/1.1\r\n" + host + "Accept-Encoding: " +
                                                       encoding + "\r\nConnection: close\r\n\r\n");
        EXPECT_EQ(status_of(panel), "HTTP/1.1 200 OK");
        EXPECT_EQ(panel.find("Content-Encoding"), std::string::npos) << encoding;
    }

    // 2,000 ranges: the whole file once.
    std::string ranges = "bytes=0-";
    for (int k = 1; k < 2000; ++k) ranges += ",0-";
    const std::string ranged = ask(server.port, "GET /app.js HTTP/1.1\r\n" + host + "Range: " + ranges +
                                                    "\r\nAccept-Encoding: identity\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(status_of(ranged), "HTTP/1.1 200 OK");
    EXPECT_EQ(ranged.size() - ranged.find("\r\n\r\n") - 4, page->body.size());

    // 120 clients pipeline requests for the page and never read (each would
    // hold a request thread for seconds if answers waited for them).
    std::vector<std::unique_ptr<raw_socket>> stuck;
    std::string many;
    for (int k = 0; k < 30; ++k) many += "GET /app.js HTTP/1.1\r\n" + host + "Accept-Encoding: identity\r\n\r\n";
    for (int k = 0; k < 120; ++k) {
        stuck.push_back(std::make_unique<raw_socket>(server.port));
        stuck.back()->small_window();
        stuck.back()->send(many);
    }
    for (int k = 0; k < 8; ++k) {
        const auto res = c->Get("/api/state");
        ASSERT_TRUE(res) << "clients that do not read held the server";
        EXPECT_EQ(res->status, 200);
    }
    stuck.clear();

    // 600,000 keys, the first one again at the end (minutes, if each key
    // were compared with every other).
    std::string keys = "{";
    for (int k = 0; k < 600000; ++k) keys += "\"k" + std::to_string(k) + "\":1,";
    keys += "\"k0\":2}";
    auto res = c->Post("/api/set", keys, "application/json");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 400);
    EXPECT_NE(res->body.find("twice"), std::string::npos);

    // Nine uploads announce 64 MiB and trickle: edits and other uploads go on.
    std::vector<std::unique_ptr<raw_socket>> trickling;
    for (int k = 0; k < 9; ++k) {
        trickling.push_back(std::make_unique<raw_socket>(server.port));
        trickling.back()->send("POST /api/crown?name=a.obj HTTP/1.1\r\n" + host +
                               "Content-Type: application/octet-stream\r\nContent-Length: 67108864\r\n\r\nv");
    }
    res = c->Post("/api/set", json{{"id", k_branches}, {"value", 120}}.dump(), "application/json");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 202);
    res = c->Post("/api/crown?name=box.obj", std::string(200000, '\n') + "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\n",
                  "application/octet-stream");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200) << res->body;
    trickling.clear();
}

}  // namespace
