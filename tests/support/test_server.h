#pragma once
// A recording HTTP/1.1 server on loopback for tests of the HTTP client: it answers each request from a script
// of replies (or a handler) and records every request exactly as received. Raw sockets on purpose: the
// request target is kept byte for byte (no decoding), and a reply can be cut at any point to imitate a
// failing service. Not a general server: it trusts its clients, which are the tests.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace tw::test {

struct RecordedRequest {
    std::string method, target;                                // target exactly as on the request line
    std::vector<std::pair<std::string, std::string>> headers;  // in the order received
    std::string body;  // whole up to 16 MiB; beyond that only counted in bodySize
    std::int64_t bodySize = 0;
    std::chrono::steady_clock::time_point arrival;  // when the request line arrived

    // Case-insensitive name; the first match.
    std::optional<std::string> header(std::string_view name) const;
};

struct Reply {
    // An aggregate, so a script reads as its statuses, {{503}, {200, {}, "body"}}, or names what it sets:
    // {.status = 200, .delay = 300ms}.
    int status = 200;
    std::vector<std::pair<std::string, std::string>> headers;  // Content-Length is added unless given
    std::string body;
    // Serve this many pattern bytes instead of body (byte i is i % 251), streamed, never held in memory.
    std::optional<std::int64_t> generatedBodySize;
    std::chrono::milliseconds delay{0};  // wait before answering; cut short when the server stops
    // Close the connection before any byte of the reply, or after cutAfter bytes of the body.
    enum class Cut { none, beforeReply, afterBodyBytes } cut = Cut::none;
    std::int64_t cutAfter = 0;
    std::chrono::milliseconds stallAfterHeaders{0};  // send the headers, then pause this long before the body
    bool closeDelimited = false;  // no Content-Length: the body ends where the server closes the connection
};

// Serves from construction to destruction, a thread per connection, each kept alive for several requests.
// Every method may be called from any thread.
class TestServer {
public:
    // Binds 127.0.0.1 on a free port. Throws std::system_error when it cannot.
    TestServer();
    // Stops accepting, closes every connection (a pending delay or stall ends at once), joins every thread.
    ~TestServer();
    TestServer(const TestServer&) = delete;
    TestServer& operator=(const TestServer&) = delete;

    std::string base() const;  // "http://127.0.0.1:PORT"
    int port() const { return port_; }

    // Replies for requests whose target equals target exactly (query included) or, when no script matches
    // exactly, whose path (the target before '?') equals it. Consumed in order; the last one repeats.
    // Replaces an earlier script for the same target; an empty one removes it.
    void script(const std::string& target, std::vector<Reply> replies);
    // Answers what no script matches (by default 404 with an empty body). Runs on the connection's thread,
    // without the server's lock.
    void setHandler(std::function<Reply(const RecordedRequest&)> handler);

    std::vector<RecordedRequest> requests() const;                           // all, in arrival order
    std::vector<RecordedRequest> requests(const std::string& target) const;  // those with exactly this target
    // Arrival of requests()[j] minus arrival of requests()[i], in seconds. Throws std::out_of_range.
    double gapSeconds(std::size_t i, std::size_t j) const;
    int peakOpenConnections() const;  // most connections open at once
    int connectionsAccepted() const;
    int peakInFlight() const;  // most requests being answered at once (request line read to reply end)

private:
    struct Script {
        std::vector<Reply> replies;
        std::size_t next = 0;
    };

    void acceptLoop();
    void serve(int fd);
    // Sends reply; false when the connection must close (cut, failed, or the server stopping).
    bool answer(int fd, const Reply& reply);
    Reply replyFor(const RecordedRequest& request);
    void record(RecordedRequest request);
    // Waits until duration has passed or the server stops; false when it stops.
    bool pause(std::chrono::milliseconds duration);

    int listenFd_ = -1;
    int port_ = 0;
    std::thread acceptThread_;

    mutable std::mutex mutex_;
    std::condition_variable stopped_;
    bool stopping_ = false;
    std::set<int> openFds_;  // closed only under mutex_, so the destructor never shuts down a reused number
    std::vector<std::thread> connectionThreads_;
    std::map<std::string, Script> scripts_;
    std::function<Reply(const RecordedRequest&)> handler_;
    std::vector<RecordedRequest> requests_;  // in arrival order
    int accepted_ = 0;
    int open_ = 0;
    int peakOpen_ = 0;
    int inFlight_ = 0;
    int peakInFlight_ = 0;
};

}  // namespace tw::test
