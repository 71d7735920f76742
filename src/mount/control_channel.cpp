#include "mount/control_channel.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "mount/mount.h"
#include "mount/state_store.h"
#include "platform/private_folder.h"

namespace tw::mount {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using std::chrono::system_clock;

constexpr std::size_t requestLimit = 256;       // bytes of a request line, its newline included
constexpr std::size_t answerLimit = 64u << 20;  // bytes of an answer a client reads at most
constexpr std::size_t connectionLimit = 64;     // served at once; more wait in the listener's backlog
constexpr double longestWait = 1e7;             // seconds a "wait" may ask (115 days): no overflow after
constexpr auto probeTimeout = std::chrono::seconds(2);   // for the mount found on a claimed path to answer
constexpr auto answerMargin = std::chrono::seconds(10);  // a client waits this much past its wait

[[noreturn]] void fail(const std::string& what, int code = errno) {
    throw std::system_error(code, std::generic_category(), what);
}

sockaddr_un addressOf(const fs::path& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const auto& text = path.native();
    if (text.size() >= sizeof address.sun_path)
        fail("the control socket's path " + text + " is too long for a socket", ENAMETOOLONG);
    std::memcpy(address.sun_path, text.c_str(), text.size() + 1);
    return address;
}

int millisecondsUntil(Clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, INT_MAX));
}

// Waits for `events` on `fd` until `deadline`: false when it passed first.
bool ready(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        pollfd entry{.fd = fd, .events = events, .revents = 0};
        const int n = ::poll(&entry, 1, millisecondsUntil(deadline));
        if (n > 0) return true;
        if (n == 0) return false;
        if (errno != EINTR) fail("poll");
    }
}

std::string isoTime(system_clock::time_point when) {
    const std::time_t seconds = system_clock::to_time_t(when);
    std::tm utc{};
    ::gmtime_r(&seconds, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

system_clock::time_point fromIsoTime(const std::string& text) {
    std::tm utc{};
    const char* end = ::strptime(text.c_str(), "%Y-%m-%dT%H:%M:%SZ", &utc);
    if (!end || *end != '\0') throw std::runtime_error("not a time: " + text);
    return system_clock::from_time_t(::timegm(&utc));
}

UploadState stateNamed(const std::string& name) {
    for (const auto state : {UploadState::uploaded, UploadState::pending, UploadState::uploading,
                             UploadState::failed, UploadState::localOnly})
        if (name == nameOf(state)) return state;
    throw std::runtime_error("not a state: " + name);
}

// One line of JSON; text that is not UTF-8 (a path on the mount may hold any byte) becomes U+FFFD.
std::string lineOf(const nlohmann::ordered_json& object) {
    return object.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}

std::string errorLine(const std::string& message) {
    return lineOf({{"error", message}});
}

// Sends `request` on the socket at `path` and reads the answer until the server closes, all by `deadline`.
// nullopt when nothing listens there: no file, or a connection refused (a socket left by a mount that died).
std::optional<nlohmann::json> ask(const fs::path& path, const std::string& request,
                                  Clock::time_point deadline) {
    const auto address = addressOf(path);
    FileDescriptor socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!socket) fail("cannot make a socket");
    // connect() on a Unix socket waits while the server's backlog is full; the send timeout bounds that.
    const int left = millisecondsUntil(deadline);
    const timeval limit{.tv_sec = left / 1000, .tv_usec = (left % 1000) * 1000};
    ::setsockopt(socket.get(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    if (::connect(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        if (errno == ENOENT || errno == ECONNREFUSED) return std::nullopt;
        if (errno == EAGAIN || errno == ETIMEDOUT || errno == EINTR)
            throw std::runtime_error("the mount does not take connections on " + path.string());
        fail("cannot connect to " + path.string());
    }
    if (::fcntl(socket.get(), F_SETFL, O_NONBLOCK) != 0) fail("fcntl");
    const auto timedOut = [&] {
        return std::runtime_error("the mount did not answer on " + path.string() + " in time");
    };
    for (std::size_t sent = 0; sent < request.size();) {
        if (!ready(socket.get(), POLLOUT, deadline)) throw timedOut();
        const auto n = ::send(socket.get(), request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n >= 0) {
            sent += static_cast<std::size_t>(n);
        } else if (errno != EAGAIN && errno != EINTR) {
            break;  // the server may have answered already (an error) and closed: read what it said
        }
    }
    std::string answer;
    for (;;) {
        if (!ready(socket.get(), POLLIN, deadline)) throw timedOut();
        char buffer[16384];
        const auto n = ::recv(socket.get(), buffer, sizeof buffer, 0);
        if (n == 0) break;
        if (n > 0) {
            answer.append(buffer, static_cast<std::size_t>(n));
            if (answer.size() > answerLimit) throw std::runtime_error("the mount's answer is too long");
        } else if (errno != EAGAIN && errno != EINTR) {
            if (errno == ECONNRESET || errno == EPIPE) break;
            fail("cannot read from " + path.string());
        }
    }
    if (answer.empty())
        throw std::runtime_error("the mount on " + path.string() +
                                 " closed the connection without an answer");
    auto object = nlohmann::json::parse(answer, nullptr, false);
    if (!object.is_object()) throw std::runtime_error("the mount's answer cannot be read");
    return object;
}

// The one line a second mount of a space is refused with.
std::string refusal(const std::string& domain, const fs::path& path,
                    const std::optional<nlohmann::json>& answer) {
    const auto text = [&](const char* key) {
        return answer && answer->contains(key) && (*answer)[key].is_string()
                   ? (*answer)[key].get<std::string>()
                   : std::string();
    };
    const auto space = text("space"), mountpoint = text("mountpoint");
    if (!space.empty() && !mountpoint.empty())
        return "the space " + space + " is already mounted on " + mountpoint + " (its control socket is " +
               path.string() + ")";
    return "another mount of the domain " + domain + " is running (it answers on " + path.string() + ")";
}

}  // namespace

fs::path controlSocketPath(const std::string& domain) {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && runtime[0] == '/') return fs::path(runtime) / "tidewright" / (domain + ".socket");
    return stateFolder() / (domain + ".socket");
}

nlohmann::ordered_json statusToJson(const MountStatus& status) {
    auto entries = nlohmann::ordered_json::array();
    for (const auto& entry : status.entries)
        entries.push_back({{"path", entry.path},
                           {"state", nameOf(entry.state)},
                           {"attempts", entry.attempts},
                           {"lastError", entry.lastError}});
    nlohmann::ordered_json object = {{"uploaded", status.allUploaded()}, {"reachable", status.reachable}};
    if (status.offline) object["offline"] = true;  // said only while so
    object["lastSync"] = status.lastSync ? nlohmann::ordered_json(isoTime(*status.lastSync)) : nullptr;
    object["cache"] = {{"usedBytes", status.cacheBytes}, {"limitBytes", status.cacheLimit}};
    object["pinned"] = {{"pins", status.pinned.pins},
                        {"files", status.pinned.files},
                        {"pinnedBytes", status.pinned.pinnedBytes},
                        {"presentBytes", status.pinned.presentBytes},
                        {"complete", status.pinned.complete},
                        {"lastError", status.pinned.lastError}};
    object["entries"] = std::move(entries);
    return object;
}

MountStatus statusFromJson(const nlohmann::json& object) {
    try {
        MountStatus status;
        status.reachable = object.at("reachable").get<bool>();
        status.offline = object.value("offline", false);
        if (const auto& lastSync = object.at("lastSync"); !lastSync.is_null())
            status.lastSync = fromIsoTime(lastSync.get<std::string>());
        if (const auto cache = object.find("cache"); cache != object.end()) {  // a mount of before has none
            status.cacheBytes = cache->at("usedBytes").get<std::int64_t>();
            status.cacheLimit = cache->at("limitBytes").get<std::int64_t>();
        }
        if (const auto pinned = object.find("pinned"); pinned != object.end()) {  // nor this
            status.pinned = {.pins = pinned->at("pins").get<int>(),
                             .files = pinned->at("files").get<int>(),
                             .pinnedBytes = pinned->at("pinnedBytes").get<std::int64_t>(),
                             .presentBytes = pinned->at("presentBytes").get<std::int64_t>(),
                             .complete = pinned->at("complete").get<bool>(),
                             .lastError = pinned->at("lastError").get<std::string>()};
        }
        for (const auto& entry : object.at("entries"))
            status.entries.push_back({.path = entry.at("path").get<std::string>(),
                                      .state = stateNamed(entry.at("state").get<std::string>()),
                                      .attempts = entry.at("attempts").get<int>(),
                                      .lastError = entry.at("lastError").get<std::string>()});
        return status;
    } catch (const nlohmann::json::exception& error) {
        throw std::runtime_error(std::string("the mount's answer cannot be read: ") + error.what());
    }
}

ControlSocket ControlSocket::claim(const std::string& domain) {
    const auto path = controlSocketPath(domain);
    const auto address = addressOf(path);
    makePrivateFolder(path.parent_path());
    // Held while the socket file is tried, found dead, removed and made again; released when it closes.
    const auto folder = FileDescriptor::open(path.parent_path(), O_RDONLY | O_DIRECTORY);
    while (::flock(folder.get(), LOCK_EX) != 0)
        if (errno != EINTR) fail("cannot lock the folder " + path.parent_path().string());
    for (bool replaced = false;; replaced = true) {
        FileDescriptor listener(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        if (!listener) fail("cannot make a socket");
        if (::bind(listener.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
            ControlSocket claimed;
            claimed.path_ = path;
            struct stat file {};
            if (::lstat(path.c_str(), &file) != 0) fail("cannot read " + path.string());
            claimed.device_ = file.st_dev;
            claimed.inode_ = file.st_ino;
            claimed.listener_ = std::move(listener);  // from here on, the file goes with `claimed`
            // The folder is the user's own already; the mode says so of the socket itself too.
            if (::chmod(path.c_str(), 0600) != 0) fail("cannot set the mode of " + path.string());
            if (::listen(claimed.listener_.get(), 16) != 0) fail("cannot listen on " + path.string());
            return claimed;
        }
        if (errno != EADDRINUSE || replaced) fail("cannot bind the control socket " + path.string());
        std::optional<nlohmann::json> answer;
        bool live = true;
        try {
            answer = ask(path, "status\n", Clock::now() + probeTimeout);
            live = answer.has_value();
        } catch (const std::exception&) {
            // Something accepts there but gives no answer in time: a mount all the same (a hung one).
        }
        if (live) throw MountRefused(refusal(domain, path, answer));
        if (::unlink(path.c_str()) != 0 && errno != ENOENT) fail("cannot remove " + path.string());
    }
}

ControlSocket::ControlSocket(ControlSocket&& other) noexcept
    : listener_(std::move(other.listener_)),
      path_(std::move(other.path_)),
      device_(other.device_),
      inode_(other.inode_) {
    other.path_.clear();
}

ControlSocket& ControlSocket::operator=(ControlSocket&& other) noexcept {
    if (this != &other) {
        close();
        listener_ = std::move(other.listener_);
        path_ = std::move(other.path_);
        other.path_.clear();
        device_ = other.device_;
        inode_ = other.inode_;
    }
    return *this;
}

void ControlSocket::close() noexcept {
    if (!listener_) return;
    // Removed first, so that no client reaches a listener that will not answer; a file another claim made
    // after this one's was found dead stays.
    struct stat file {};
    if (::lstat(path_.c_str(), &file) == 0 && file.st_dev == device_ && file.st_ino == inode_)
        ::unlink(path_.c_str());
    listener_.reset();
}

// The server's state. The connections belong to its thread; `finished` and `stopping` are shared with the
// wait threads and stop(), under `mutex`.
struct ControlServer::Loop {
    enum class Phase { reading, waiting, writing, done };
    struct Connection {
        FileDescriptor fd;
        Phase phase = Phase::reading;
        std::string in, out;
        std::size_t sent = 0;
        Clock::time_point deadline;  // of reading the request, then of writing the answer
    };

    Loop(ControlSocket socket, MountIdentity identity, StatusSource status, UploadNow uploadNow,
         std::chrono::milliseconds timeout)
        : socket(std::move(socket)),
          identity(std::move(identity)),
          status(std::move(status)),
          uploadNow(std::move(uploadNow)),
          timeout(timeout),
          wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
        if (!wake) fail("eventfd");
    }

    void run();
    void acceptAll();
    void readFrom(std::uint64_t id, Connection& connection);
    void handle(std::uint64_t id, Connection& connection, std::string_view line);
    void answer(Connection& connection, std::string text);
    void writeTo(Connection& connection);
    std::string statusAnswer();
    void signal() {
        const std::uint64_t one = 1;
        if (::write(wake.get(), &one, sizeof one) < 0) {
        }  // the counter cannot overflow here; EAGAIN would mean a wake-up is pending anyway
    }

    ControlSocket socket;
    const MountIdentity identity;
    const StatusSource status;
    const UploadNow uploadNow;
    const std::chrono::milliseconds timeout;
    FileDescriptor wake;  // an eventfd: stop() was called, or a wait has its answer

    std::mutex mutex;
    bool stopping = false;
    std::vector<std::pair<std::uint64_t, std::string>> finished;  // answers of waits, by connection

    std::map<std::uint64_t, Connection> connections;
    std::map<std::uint64_t, std::thread> waits;  // the server thread's; stop() joins what is left
    std::uint64_t nextId = 0;
    Clock::time_point acceptPausedUntil;  // out of descriptors: the listener rests a moment
    std::thread thread;
};

std::string ControlServer::Loop::statusAnswer() {
    auto object = statusToJson(status());
    object["space"] = identity.space;
    object["mountpoint"] = identity.mountpoint;
    return lineOf(object);
}

void ControlServer::Loop::run() {
    for (;;) {
        std::vector<std::pair<std::uint64_t, std::string>> answers;
        {
            std::scoped_lock lock(mutex);
            if (stopping) break;
            answers.swap(finished);
        }
        for (auto& [id, text] : answers) {
            if (auto wait = waits.find(id); wait != waits.end()) {
                wait->second.join();  // it has posted its answer: nothing is left for it to do
                waits.erase(wait);
            }
            if (auto found = connections.find(id); found != connections.end())
                answer(found->second, std::move(text));
        }
        std::erase_if(connections, [](const auto& entry) { return entry.second.phase == Phase::done; });

        std::vector<pollfd> entries = {{.fd = wake.get(), .events = POLLIN, .revents = 0}};
        std::vector<std::uint64_t> ids;
        const bool listening = connections.size() < connectionLimit && Clock::now() >= acceptPausedUntil;
        if (listening) entries.push_back({.fd = socket.listener(), .events = POLLIN, .revents = 0});
        auto next = Clock::time_point::max();
        if (!listening && connections.size() < connectionLimit) next = acceptPausedUntil;
        for (const auto& [id, connection] : connections) {
            if (connection.phase == Phase::waiting) continue;
            entries.push_back(
                {.fd = connection.fd.get(),
                 .events = static_cast<short>(connection.phase == Phase::reading ? POLLIN : POLLOUT),
                 .revents = 0});
            ids.push_back(id);
            next = std::min(next, connection.deadline);
        }
        const int wait = next == Clock::time_point::max() ? -1 : millisecondsUntil(next);
        if (::poll(entries.data(), entries.size(), wait) < 0) {
            // EINTR, or out of memory for a moment: the channel must not take the mount down with it.
            if (errno != EINTR) std::this_thread::sleep_for(std::chrono::milliseconds(100));
            continue;
        }
        if (entries[0].revents) {
            std::uint64_t count;
            if (::read(wake.get(), &count, sizeof count) < 0) {
            }  // EAGAIN: another read took it
        }
        const std::size_t first = listening ? 2 : 1;
        if (listening && entries[1].revents) acceptAll();
        for (std::size_t i = 0; i < ids.size(); ++i) {
            if (!entries[first + i].revents) continue;
            auto& connection = connections.at(ids[i]);
            if (connection.phase == Phase::reading)
                readFrom(ids[i], connection);
            else if (connection.phase == Phase::writing)
                writeTo(connection);
        }
        const auto now = Clock::now();
        for (auto& [id, connection] : connections) {
            if (connection.deadline > now) continue;
            if (connection.phase == Phase::reading)
                answer(connection, errorLine("no request came within " + std::to_string(timeout.count()) +
                                             " ms: send \"status\" or \"wait SECONDS\" and a newline"));
            else if (connection.phase == Phase::writing)
                connection.phase = Phase::done;  // it does not take its answer: dropped
        }
        std::erase_if(connections, [](const auto& entry) { return entry.second.phase == Phase::done; });
    }
    // Stopping: the clients of waits under way hear why they get no status; nothing more is sent.
    for (auto& [id, connection] : connections) {
        if (connection.phase != Phase::waiting) continue;
        const auto text = errorLine("the mount is stopping");
        if (::send(connection.fd.get(), text.data(), text.size(), MSG_NOSIGNAL) < 0) {
        }
    }
    connections.clear();
}

void ControlServer::Loop::acceptAll() {
    while (connections.size() < connectionLimit) {
        const int fd = ::accept4(socket.listener(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
                acceptPausedUntil = Clock::now() + std::chrono::milliseconds(100);
            return;  // EAGAIN: none waits; ECONNABORTED and the like: that one is gone
        }
        Connection connection;
        connection.fd.reset(fd);
        connection.deadline = Clock::now() + timeout;
        connections.emplace(nextId++, std::move(connection));
    }
}

void ControlServer::Loop::readFrom(std::uint64_t id, Connection& connection) {
    bool ended = false;
    while (connection.in.find('\n') == std::string::npos && connection.in.size() <= requestLimit) {
        char buffer[512];
        const auto n = ::recv(connection.fd.get(), buffer, sizeof buffer, 0);
        if (n > 0) {
            connection.in.append(buffer, static_cast<std::size_t>(n));
        } else if (n == 0) {
            ended = true;
            break;
        } else if (errno == EAGAIN) {
            return;  // more to come
        } else if (errno != EINTR) {
            connection.phase = Phase::done;
            return;
        }
    }
    const auto newline = connection.in.find('\n');
    if (newline != std::string::npos && newline < requestLimit)
        handle(id, connection, std::string_view(connection.in).substr(0, newline));
    else if (connection.in.size() >= requestLimit)
        answer(connection,
               errorLine("a request is one line of fewer than " + std::to_string(requestLimit) + " bytes"));
    else if (ended && !connection.in.empty())
        handle(id, connection, connection.in);  // a last line without its newline
    else if (ended)
        answer(connection, errorLine("no request was sent"));
}

void ControlServer::Loop::handle(std::uint64_t id, Connection& connection, std::string_view line) {
    if (line.ends_with('\r')) line.remove_suffix(1);
    const auto refused = [&] {
        answer(connection, errorLine("not a request: send \"status\" or \"wait SECONDS\" and a newline"));
    };
    if (line == "status") {
        try {
            answer(connection, statusAnswer());
        } catch (const std::exception& error) {
            answer(connection, errorLine(std::string("the status cannot be taken: ") + error.what()));
        }
        return;
    }
    if (!line.starts_with("wait ")) return refused();
    const auto number = line.substr(5);
    double seconds = -1;
    const auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), seconds);
    if (error != std::errc() || end != number.data() + number.size() || !std::isfinite(seconds) ||
        seconds < 0 || seconds > longestWait)
        return refused();
    const auto deadline =
        Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    connection.phase = Phase::waiting;
    try {
        waits.emplace(id, std::thread([this, id, deadline] {
                          std::string text;
                          try {
                              uploadNow(deadline);
                              text = statusAnswer();
                          } catch (const std::exception& error) {
                              text =
                                  errorLine(std::string("the uploads cannot be waited for: ") + error.what());
                          }
                          {
                              std::scoped_lock lock(mutex);
                              finished.emplace_back(id, std::move(text));
                          }
                          signal();
                      }));
    } catch (const std::system_error& error) {
        answer(connection, errorLine(std::string("the wait cannot be started: ") + error.what()));
    }
}

void ControlServer::Loop::answer(Connection& connection, std::string text) {
    connection.out = std::move(text);
    connection.sent = 0;
    connection.phase = Phase::writing;
    connection.deadline = Clock::now() + timeout;
    writeTo(connection);
}

void ControlServer::Loop::writeTo(Connection& connection) {
    while (connection.sent < connection.out.size()) {
        const auto n = ::send(connection.fd.get(), connection.out.data() + connection.sent,
                              connection.out.size() - connection.sent, MSG_NOSIGNAL);
        if (n >= 0) {
            connection.sent += static_cast<std::size_t>(n);
        } else if (errno == EAGAIN) {
            return;  // the rest when the client has read some
        } else if (errno != EINTR) {
            break;  // gone
        }
    }
    connection.phase = Phase::done;  // closing it ends the answer
}

ControlServer::ControlServer(ControlSocket socket, MountIdentity identity, StatusSource status,
                             UploadNow uploadNow, std::chrono::milliseconds requestTimeout)
    : loop_(std::make_unique<Loop>(std::move(socket), std::move(identity), std::move(status),
                                   std::move(uploadNow), requestTimeout)) {
    loop_->thread = std::thread([loop = loop_.get()] { loop->run(); });
}

ControlServer::~ControlServer() {
    stop();
}

void ControlServer::stop() {
    if (!loop_->thread.joinable()) return;
    {
        std::scoped_lock lock(loop_->mutex);
        loop_->stopping = true;
    }
    loop_->signal();
    loop_->thread.join();
    for (auto& [id, wait] : loop_->waits)
        wait.join();
    loop_->waits.clear();
    loop_->socket.close();
}

const fs::path& ControlServer::path() const {
    return loop_->socket.path();
}

std::optional<StatusAnswer> requestStatus(const std::string& domain,
                                          std::optional<std::chrono::milliseconds> wait) {
    std::string request = "status\n";
    if (wait) {
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%.3f", static_cast<double>(wait->count()) / 1000);
        request = std::string("wait ") + seconds + "\n";
    }
    const auto path = controlSocketPath(domain);
    const auto answer =
        ask(path, request, Clock::now() + wait.value_or(std::chrono::milliseconds(0)) + answerMargin);
    if (!answer) return std::nullopt;
    if (const auto error = answer->find("error"); error != answer->end())
        throw std::runtime_error("the mount answered: " +
                                 (error->is_string() ? error->get<std::string>() : error->dump()));
    StatusAnswer result;
    result.status = statusFromJson(*answer);
    result.identity.space = answer->value("space", "");
    result.identity.mountpoint = answer->value("mountpoint", "");
    return result;
}

}  // namespace tw::mount
