#pragma once
// A recording HTTP/1.1 server on loopback: answers from scripts (or a handler), records every request byte
// for byte, and can cut a reply anywhere. Raw sockets, so that nothing is decoded; it trusts its clients.

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
    std::string method, target;  // target exactly as on the request line
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;  // whole up to 16 MiB; beyond that only counted in bodySize
    std::int64_t bodySize = 0;
    std::chrono::steady_clock::time_point arrival;

    std::optional<std::string> header(std::string_view name) const;  // case-insensitive; the first
};

struct Reply {
    int status = 200;
    std::vector<std::pair<std::string, std::string>> headers;  // Content-Length is added unless given
    std::string body;
    std::optional<std::int64_t>
        generatedBodySize;               // instead of body, streamed: periodicBytes (support/bytes.h)
    std::chrono::milliseconds delay{0};  // wait before answering; cut short when the server stops
    // Close the connection before any byte of the reply, or after cutAfter bytes of the body.
    enum class Cut { none, beforeReply, afterBodyBytes } cut = Cut::none;
    std::int64_t cutAfter = 0;
    std::chrono::milliseconds stallAfterHeaders{0};  // send the headers, then pause this long before the body
    bool closeDelimited = false;  // no Content-Length: the body ends where the server closes the connection
};

// A thread per kept-alive connection; every method may be called from any thread.
class TestServer {
public:
    TestServer();   // binds 127.0.0.1 on a free port; throws std::system_error when it cannot
    ~TestServer();  // closes every connection (a pending delay or stall ends at once), joins every thread
    TestServer(const TestServer&) = delete;
    TestServer& operator=(const TestServer&) = delete;

    std::string base() const { return "http://127.0.0.1:" + std::to_string(port_); }
    int port() const { return port_; }

    // Replies for the exact target or, failing that, its path before '?'; in order, the last one repeating.
    // Replaces an earlier script for the same target; an empty one removes it.
    void script(const std::string& target, std::vector<Reply> replies);
    // Answers what no script matches (by default 404), on the connection's thread without the lock.
    void setHandler(std::function<Reply(const RecordedRequest&)> handler);

    std::vector<RecordedRequest> requests() const;                           // all, in arrival order
    std::vector<RecordedRequest> requests(const std::string& target) const;  // those with exactly this target
    double gapSeconds(std::size_t i, std::size_t j) const;       // arrival of requests()[j] minus [i]
    int peakOpenConnections() const { return read(peakOpen_); }  // most connections open at once
    int connectionsAccepted() const { return read(accepted_); }

private:
    struct Script {
        std::vector<Reply> replies;
        std::size_t next = 0;
    };

    int read(const int& counter) const {
        std::scoped_lock lock(mutex_);
        return counter;
    }
    void acceptLoop();
    void serve(int fd);
    bool answer(int fd, const Reply& reply);
    Reply replyFor(const RecordedRequest& request);
    void record(RecordedRequest request);
    bool pause(std::chrono::milliseconds duration);

    int listenFd_ = -1;
    int port_ = 0;
    std::thread acceptThread_;

    mutable std::mutex mutex_;
    std::condition_variable stopped_;
    bool stopping_ = false;
    std::set<int> openFds_;  // closed only under mutex_: the destructor never shuts down a reused number
    std::vector<std::thread> connectionThreads_;
    std::map<std::string, Script> scripts_;
    std::function<Reply(const RecordedRequest&)> handler_;
    std::vector<RecordedRequest> requests_;
    int accepted_ = 0;
    int open_ = 0;
    int peakOpen_ = 0;
};

}  // namespace tw::test
