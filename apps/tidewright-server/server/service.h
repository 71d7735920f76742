#pragma once

// The local Tidewright service: its state (Service) and its HTTP front (HttpServer), usable in-process
// (tests bind port 0 and serve on a thread) and by the tidewright-server program.

#include "server/auth.h"
#include "server/blobs.h"
#include "server/faults.h"
#include "server/space.h"
#include "server/store.h"
#include "server/upload_gates.h"

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace httplib {
class Server;
}

namespace tw::server {

class HeadDeadline;

inline constexpr std::int64_t MiB = 1'048'576;

struct Options {
    std::filesystem::path dataDir;
    std::string host = "127.0.0.1";
    int port = 0;  // 0 picks a free port
    std::vector<std::string> tokens;
    std::optional<std::string> pairingSecret;
    bool allowFaults = false;
    std::int64_t partSize = 8 * MiB;        // the part size answered to every multipart start
    std::int64_t openTtlMs = 15 * 60'000;   // lifetime of a download address
    std::int64_t uploadTtlMs = 86'400'000;  // lifetime of an unfinished multipart upload
    int threads = 1024;                     // connections served at once (a thread each)
    std::int64_t headTimeoutMs = 5'000;  // time allowed for a request head (and for idling between requests)
};

// The service cannot start: unusable data folder, address in use... The message is one line.
class StartupError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Largest content accepted, direct or multipart.
inline constexpr std::int64_t maxContentSize = std::int64_t{1} << 40;

// The state behind the API. Opening it takes an exclusive lock on the data folder, removes leftovers of
// an earlier run (temporary files, unreferenced contents) and loads the device tokens.
struct Service {
    explicit Service(const Options& options);
    ~Service();

    Options options;
    FileDescriptor lock;  // flock on <data>/lock, held while the service lives
    std::unique_ptr<Store> store;
    std::unique_ptr<BlobStore> blobs;
    std::unique_ptr<Auth> auth;
    Faults faults;
    UploadGates uploadGates;
    std::atomic<SpaceState> space{SpaceState::normal};
    std::atomic<std::int64_t> partSize;
    std::atomic<std::int64_t> openTtlMs;
    std::atomic<bool> stopping{false};

    // Removes the multipart uploads older than options.uploadTtlMs with their parts.
    void expireUploads();

private:
    std::thread sweeper_;  // expires uploads every quarter of their lifetime (at most every minute)
};

class HttpServer {
public:
    // Opens the service; throws StartupError.
    explicit HttpServer(const Options& options);
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Binds the listening socket (connections queue from here on); returns the port. Throws StartupError.
    int bind();
    // Serves until stop(); returns once every connection has ended.
    void run();
    // Ends run() from any thread (a signal handler's thread included); transfers in progress stop early.
    void stop();
    bool isRunning() const;

    // "http://HOST:PORT", valid after bind().
    std::string baseUrl() const;
    Service& service() { return *service_; }

private:
    std::unique_ptr<Service> service_;
    std::unique_ptr<httplib::Server> http_;
    std::unique_ptr<HeadDeadline> headDeadline_;  // from bind() on
    int port_ = 0;
    std::atomic<bool> runStarted_{false};
    std::atomic<bool> runFinished_{false};
    std::mutex stopMutex_;
    bool stopped_ = false;
};

}  // namespace tw::server
