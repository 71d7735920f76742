#include "server/service.h"

#include "server/http_util.h"
#include "server/routes.h"
#include "server/util.h"

#include <fcntl.h>
#include <httplib.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <system_error>
#include <thread>

namespace tw::server {
namespace fs = std::filesystem;

namespace {

// Runs each connection on a thread of its own, up to `max` at once; beyond that connections wait for a
// thread to finish. Threads end when no connection waits: an idle service holds none.
class ConnectionThreads : public httplib::TaskQueue {
public:
    explicit ConnectionThreads(std::size_t max) : state_(std::make_shared<State>()) { state_->max = max; }

    void enqueue(std::function<void()> task) override {
        std::unique_lock lock(state_->mutex);
        if (state_->running >= state_->max) {
            state_->waiting.push_back(std::move(task));
            return;
        }
        ++state_->running;
        lock.unlock();
        // The thread shares the state, so it may finish after the queue is gone.
        std::thread([state = state_, task = std::move(task)]() mutable {
            for (;;) {
                task();
                std::scoped_lock lock(state->mutex);
                if (state->waiting.empty()) {
                    if (--state->running == 0) state->idle.notify_all();
                    return;
                }
                task = std::move(state->waiting.front());
                state->waiting.pop_front();
            }
        }).detach();
    }

    // Called once the server accepts no more connections: waits for those in progress to end.
    void shutdown() override {
        std::unique_lock lock(state_->mutex);
        state_->idle.wait(lock, [&] { return state_->running == 0; });
    }

private:
    struct State {
        std::mutex mutex;
        std::condition_variable idle;
        std::deque<std::function<void()>> waiting;
        std::size_t running = 0;
        std::size_t max = 0;
    };
    std::shared_ptr<State> state_;
};

bool startsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

bool endsWith(std::string_view text, std::string_view suffix) {
    return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

// Requests that change nothing: reads, and opening a file for download.
bool isWrite(const httplib::Request& request) {
    if (request.method == "GET" || request.method == "HEAD") return false;
    return !(request.method == "POST" && endsWith(request.path, "/open"));
}

std::string errorCodeFor(int status) {
    switch (status) {
        case 400:
            return "bad_request";
        case 404:
            return "not_found";
        case 405:
            return "method_not_allowed";
        case 413:
            return "too_large";
        case 414:
            return "uri_too_long";
        case 416:
            return "range_not_satisfiable";
        default:
            return status >= 500 ? "internal" : "http_" + std::to_string(status);
    }
}

// The data folder holds the tokens' hashes, the contents and the database: it is created 0700, an
// existing one of ours is narrowed to 0700, and one that others can write (who could then replace its
// files) or that belongs to someone else is refused.
void checkDataDir(const fs::path& dir) {
    std::error_code error;
    bool existed = fs::exists(dir, error);
    if (!existed) fs::create_directories(dir, error);
    struct stat info {};
    if (error || ::stat(dir.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        throw StartupError("cannot use data folder " + dir.string() + ": " +
                           (error ? error.message() : "not a folder"));
    }
    if (info.st_uid != ::geteuid())
        throw StartupError("data folder " + dir.string() + " belongs to another user");
    if (existed && (info.st_mode & (S_IWGRP | S_IWOTH)))
        throw StartupError("data folder " + dir.string() + " is writable by others");
    if ((info.st_mode & 07777) != 0700 && ::chmod(dir.c_str(), 0700) != 0)
        throw StartupError("cannot use data folder " + dir.string() + ": " + std::strerror(errno));
}

FileDescriptor lockDataDir(const fs::path& dir) {
    checkDataDir(dir);
    auto path = dir / "lock";
    FileDescriptor fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    if (!fd || ::fchmod(fd.get(), 0600) != 0)
        throw StartupError("cannot use data folder " + dir.string() + ": " + std::strerror(errno));
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
        throw StartupError("data folder " + dir.string() + " is in use by another tidewright-server");
    }
    return fd;
}

}  // namespace

Service::Service(const Options& opts) : options(opts), partSize(opts.partSize), openTtlMs(opts.openTtlMs) {
    lock = lockDataDir(options.dataDir);
    try {
        store = std::make_unique<Store>(options.dataDir / "tidewright.db");
        blobs = std::make_unique<BlobStore>(options.dataDir);
        store->expireUploads(nowMs() - options.uploadTtlMs);
        for (const auto& id : blobs->removeOrphans(store->liveRevs(), store->uploadIds()))
            store->removeUpload(id);
        auth = std::make_unique<Auth>(*store, options.tokens, options.pairingSecret);
    } catch (const std::exception& e) {
        throw StartupError("cannot use data folder " + options.dataDir.string() + ": " + e.what());
    }
    sweeper_ = std::thread([this] {
        auto period = std::clamp<std::int64_t>(options.uploadTtlMs / 4, 10, 60'000);
        while (!stopping) {
            sleepUnless(period, stopping);
            if (stopping) break;
            try {
                expireUploads();
            } catch (const std::exception&) {
                // A busy or failing store: the next round tries again.
            }
        }
    });
}

Service::~Service() {
    stopping = true;
    if (sweeper_.joinable()) sweeper_.join();
}

void Service::expireUploads() {
    for (const auto& id : store->expireUploads(nowMs() - options.uploadTtlMs))
        blobs->removeUpload(id);
}

HttpServer::HttpServer(const Options& options)
    : service_(std::make_unique<Service>(options)), http_(std::make_unique<httplib::Server>()) {
    Service& svc = *service_;
    // A peer that goes away mid-reply must cost an EPIPE, not the process (sendfile cannot pass
    // MSG_NOSIGNAL).
    ::signal(SIGPIPE, SIG_IGN);
    auto threads = static_cast<std::size_t>(std::max(4, options.threads));
    http_->new_task_queue = [threads] { return new ConnectionThreads(threads); };
    http_->set_keep_alive_max_count(100000);
    http_->set_read_timeout(30);
    http_->set_write_timeout(60);
    http_->set_tcp_nodelay(true);

    http_->set_logger([this](const httplib::Request& request, const httplib::Response&) {
        if (headDeadline_) headDeadline_->finished(request);
    });
    http_->set_pre_routing_handler(
        [this, &svc](const httplib::Request& request, httplib::Response& response) {
            if (headDeadline_) headDeadline_->started(request);
            // httplib cuts any reply body to a "Range" it parsed; downloads apply "Range" themselves, and no
            // other reply may be cut. The request object is not const in the server, only in this view.
            const_cast<httplib::Request&>(request).ranges.clear();
            setCurrentFault(std::nullopt);
            const std::string& path = request.path;
            if (startsWith(path, "/_control/")) return httplib::Server::HandlerResponse::Unhandled;

            RequestBody body(request, nullptr);
            auto answer = [&](const ApiError& error) {
                sendError(response, error);
                if (body.announced()) response.set_header("Connection", "close");
                return httplib::Server::HandlerResponse::Handled;
            };
            if (svc.options.allowFaults) {
                if (auto rule = svc.faults.take(request.method, path)) {
                    setCurrentFault(rule);
                    if (rule->delayMs > 0) sleepUnless(rule->delayMs, svc.stopping);
                    if (rule->drop) {
                        dropConnection(request);
                        response.status = 500;
                        response.set_header("Connection", "close");
                        return httplib::Server::HandlerResponse::Handled;
                    }
                    if (rule->status) {
                        sendJson(response, *rule->status, rule->body);
                        if (body.announced()) response.set_header("Connection", "close");
                        return httplib::Server::HandlerResponse::Handled;
                    }
                }
            }
            try {
                bool api = startsWith(path, "/api/v1/");
                bool cloudRevoke = path == "/api/cloud/auth/app/revoke";
                bool pairing = path == "/api/v1/auth/device";
                if ((api && !pairing) || cloudRevoke) {
                    if (!svc.auth->isValid(bearerToken(request.get_header_value("Authorization")))) {
                        throw ApiError(401, "unauthorized");
                    }
                }
                bool devices = pairing || cloudRevoke || startsWith(path, "/api/v1/devices/");
                if (api && !devices) checkSpace(svc.space.load(), isWrite(request));
                if (startsWith(path, "/blobs/")) checkSpace(svc.space.load(), false);
            } catch (const ApiError& error) {
                return answer(error);
            }
            return httplib::Server::HandlerResponse::Unhandled;
        });

    http_->set_error_handler(httplib::Server::HandlerWithResponse(
        [](const httplib::Request& request, httplib::Response& response) {
            if (!response.body.empty() || response.content_provider_)
                return httplib::Server::HandlerResponse::Unhandled;
            const_cast<httplib::Request&>(request).ranges.clear();
            response.set_content(nlohmann::json{{"error", errorCodeFor(response.status)}}.dump(),
                                 "application/json");
            return httplib::Server::HandlerResponse::Handled;
        }));
    http_->set_exception_handler(
        [](const httplib::Request&, httplib::Response& response, std::exception_ptr) {
            response.status = 500;
            response.set_content(R"({"error":"internal"})", "application/json");
        });

    addNodeRoutes(*http_, svc);
    addUploadRoutes(*http_, svc);
    addDownloadRoutes(*http_, svc);
    addDeviceRoutes(*http_, svc);
    if (options.allowFaults) addControlRoutes(*http_, svc);
    // Last: anything else with a body is refused without reading the body into memory.
    for (const char* method : {"POST", "PUT", "PATCH", "DELETE"}) {
        addRoute(*http_, method, ".*", [](const httplib::Request&, httplib::Response&, RequestBody&) {
            throw ApiError::notFound();
        });
    }
}

HttpServer::~HttpServer() {
    stop();
}

int HttpServer::bind() {
    port_ = service_->options.port == 0 ? http_->bind_to_any_port(service_->options.host)
                                        : (http_->bind_to_port(service_->options.host, service_->options.port)
                                               ? service_->options.port
                                               : -1);
    if (port_ <= 0) {
        throw StartupError("cannot listen on " + service_->options.host + ":" +
                           std::to_string(service_->options.port) + ": address unusable or in use");
    }
    widenBacklog(port_);
    headDeadline_ =
        std::make_unique<HeadDeadline>(port_, std::chrono::milliseconds(service_->options.headTimeoutMs));
    return port_;
}

void HttpServer::run() {
    runStarted_ = true;
    if (!service_->stopping) http_->listen_after_bind();
    runFinished_ = true;
}

void HttpServer::stop() {
    service_->stopping = true;
    std::scoped_lock lock(stopMutex_);
    if (stopped_ || !runStarted_) return;
    // httplib ignores stop() until its accept loop runs; wait for it (or for run() to have given up).
    while (!http_->is_running() && !runFinished_)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    http_->stop();
    endConnections(port_);
    stopped_ = true;
}

bool HttpServer::isRunning() const {
    return http_->is_running();
}

std::string HttpServer::baseUrl() const {
    const std::string& host = service_->options.host;
    bool v6 = host.find(':') != std::string::npos;
    return "http://" + (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port_);
}

}  // namespace tw::server
