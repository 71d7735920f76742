// The mount's control channel on a real Unix socket in a temporary runtime folder, with callbacks in place of
// a mount: what it answers, a wait beside a status, a second mount refused, clients that misbehave, stop.
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>

#include "mount/control_channel.h"
#include "mount/mount.h"
#include "platform/private_folder.h"
#include "support/elapsed.h"
#include "support/temp_dir.h"

namespace tw::mount {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using test::secondsSince;

const MountIdentity identity{.space = "http://127.0.0.1:4711", .mountpoint = "/home/ana/Tidewright"};
const auto december9 = std::chrono::system_clock::from_time_t(1796795401);  // 2026-12-09 05:50:01 UTC

sockaddr_un addressOf(const fs::path& path) {
    sockaddr_un address{.sun_family = AF_UNIX};
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    return address;
}

// A client that speaks the socket by hand: connected at once, `bytes` sent when it is told to.
class RawClient {
public:
    explicit RawClient(const fs::path& path) : fd_(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        const auto address = addressOf(path);
        EXPECT_EQ(::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0) << path;
    }
    ~RawClient() { ::close(fd_); }
    // Sends `bytes`, and ends its side of the connection when `end`.
    void send(const std::string& bytes, bool end = false) {
        EXPECT_EQ(::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
        if (end) ::shutdown(fd_, SHUT_WR);
    }
    // Everything the server sends until it closes (a reset counts as the close); "(timeout)" after 5 s.
    std::string answer() {
        std::string text;
        for (;;) {
            pollfd entry{.fd = fd_, .events = POLLIN, .revents = 0};
            if (::poll(&entry, 1, 5000) != 1) return "(timeout)";
            char buffer[4096];
            const auto n = ::recv(fd_, buffer, sizeof buffer, 0);
            if (n <= 0) return text;
            text.append(buffer, static_cast<std::size_t>(n));
        }
    }

private:
    int fd_;
};

bool sameEntries(const std::vector<PendingEntry>& a, const std::vector<PendingEntry>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (a[i].path != b[i].path || a[i].state != b[i].state || a[i].attempts != b[i].attempts ||
            a[i].lastError != b[i].lastError)
            return false;
    return true;
}

int threadCount() {
    return static_cast<int>(
        std::distance(fs::directory_iterator("/proc/self/task"), fs::directory_iterator()));
}

class ControlChannel : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(runtime);
        ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
        ::setenv("XDG_STATE_HOME", (dir.path() / "state").c_str(), 1);
    }
    void TearDown() override { ::unsetenv("XDG_RUNTIME_DIR"); }

    // A server for domain "dom" that shows `shown` (guarded by `mutex`) and waits as `wait` does.
    std::unique_ptr<ControlServer> serve(
        ControlServer::UploadNow wait = [](auto) { return false; }, std::chrono::milliseconds timeout = 2s) {
        return std::make_unique<ControlServer>(
            ControlSocket::claim("dom"), identity,
            [this] {
                std::scoped_lock lock(mutex);
                return shown;
            },
            std::move(wait), timeout);
    }

    test::TempDir dir;
    fs::path runtime = dir.path() / "run";
    fs::path socketPath = runtime / "tidewright" / "dom.socket";
    std::mutex mutex;
    MountStatus shown;
};

TEST_F(ControlChannel, AStatusCarriesEveryEntryTheSpaceAndTheMountPointThroughAPrivateSocket) {
    shown = {.entries = {{"docs/relatório.txt", UploadState::pending, 0, ""},
                         {"fotos/praia.jpg", UploadState::failed, 3, "HTTP 503: serviço indisponível"},
                         {"grande.iso", UploadState::uploading, 1, "timeout"},
                         {".DS_Store", UploadState::localOnly, 0, ""}},
             .reachable = false,
             .lastSync = december9};
    const auto server = serve();
    EXPECT_EQ(server->path(), socketPath);
    struct stat file {
    }, folder{};
    ASSERT_EQ(::lstat(socketPath.c_str(), &file), 0);
    EXPECT_TRUE(S_ISSOCK(file.st_mode));
    EXPECT_EQ(file.st_mode & 07777, 0600u);
    ASSERT_EQ(::stat(socketPath.parent_path().c_str(), &folder), 0);
    EXPECT_EQ(folder.st_mode & 07777, 0700u);

    const auto answer = requestStatus("dom");
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->identity.space, identity.space);
    EXPECT_EQ(answer->identity.mountpoint, identity.mountpoint);
    EXPECT_TRUE(sameEntries(answer->status.entries, shown.entries));
    EXPECT_FALSE(answer->status.reachable);
    EXPECT_EQ(answer->status.lastSync, december9);
    EXPECT_EQ(answer->status.waiting(), 3);

    RawClient client(socketPath);
    client.send("status\n");
    const auto line = client.answer();
    ASSERT_TRUE(line.ends_with("\n")) << line;
    const auto object = nlohmann::json::parse(line);
    EXPECT_EQ(object["uploaded"], false);
    EXPECT_EQ(object["lastSync"], "2026-12-09T05:50:01Z");
    EXPECT_EQ(object["entries"][1], (nlohmann::json{{"path", "fotos/praia.jpg"},
                                                    {"state", "failed"},
                                                    {"attempts", 3},
                                                    {"lastError", "HTTP 503: serviço indisponível"}}));
}

TEST_F(ControlChannel, WithoutAnAbsoluteRuntimeFolderTheSocketIsInTheStateFolder) {
    for (const char* runtimeValue : {static_cast<const char*>(nullptr), "run/relative"}) {
        SCOPED_TRACE(runtimeValue ? runtimeValue : "(unset)");
        if (runtimeValue)
            ::setenv("XDG_RUNTIME_DIR", runtimeValue, 1);
        else
            ::unsetenv("XDG_RUNTIME_DIR");
        const auto server = serve();
        EXPECT_EQ(server->path(), dir.path() / "state" / "tidewright" / "dom.socket");
        const auto answer = requestStatus("dom");
        ASSERT_TRUE(answer);
        EXPECT_TRUE(answer->status.allUploaded());
        EXPECT_EQ(answer->status.lastSync, std::nullopt);
    }
}

TEST_F(ControlChannel, AWaitIsGivenItsDeadlineAndAStatusIsAnsweredWhileItRuns) {
    shown.entries = {{"novo.txt", UploadState::pending, 0, ""}};
    std::optional<Clock::time_point> seen;
    const auto server = serve([&](Clock::time_point deadline) {
        {
            std::scoped_lock lock(mutex);
            seen = deadline;
        }
        std::this_thread::sleep_until(deadline);
        std::scoped_lock lock(mutex);
        shown.entries.clear();  // uploaded by then
        return true;
    });
    const auto start = Clock::now();
    std::optional<StatusAnswer> waited;
    double waitedSeconds = 0;
    std::thread waiter([&] {
        waited = requestStatus("dom", 1000ms);
        waitedSeconds = secondsSince(start);
    });
    ASSERT_TRUE(test::waitUntil(2, [&] {
        std::scoped_lock lock(mutex);
        return seen.has_value();
    }));
    const auto asked = Clock::now();
    const auto meanwhile = requestStatus("dom");
    EXPECT_LT(secondsSince(asked), 0.3) << "a status waits for no wait under way";
    ASSERT_TRUE(meanwhile);
    EXPECT_EQ(meanwhile->status.waiting(), 1);
    waiter.join();

    EXPECT_NEAR(std::chrono::duration<double>(*seen - start).count(), 1.0, 0.1);
    EXPECT_NEAR(waitedSeconds, 1.0, 0.3);
    ASSERT_TRUE(waited);
    EXPECT_TRUE(waited->status.allUploaded()) << "the answer is the status after the wait";
}

TEST_F(ControlChannel, ASocketLeftByADeadMountIsReplacedAndALiveOneRefusesASecondMountOfTheSpace) {
    // A mount that died left its socket file: nothing accepts on it.
    makePrivateFolder(socketPath.parent_path());
    {
        const int dead = ::socket(AF_UNIX, SOCK_STREAM, 0);
        const auto address = addressOf(socketPath);
        ASSERT_EQ(::bind(dead, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
        ::close(dead);
    }
    ASSERT_TRUE(fs::exists(fs::symlink_status(socketPath)));
    EXPECT_EQ(requestStatus("dom"), std::nullopt) << "a dead socket is no mount";

    auto first = serve();
    EXPECT_TRUE(requestStatus("dom"));
    try {
        ControlSocket::claim("dom");
        ADD_FAILURE() << "a second claim of a live socket was taken";
    } catch (const MountRefused& refused) {
        EXPECT_EQ(std::string(refused.what()),
                  "the space http://127.0.0.1:4711 is already mounted on /home/ana/Tidewright (its control "
                  "socket is " +
                      socketPath.string() + ")");
    }
    EXPECT_TRUE(requestStatus("dom")) << "the refused claim left the live socket alone";

    // Its file removed by hand and claimed by another mount: the first, stopping, leaves that one be.
    fs::remove(socketPath);
    auto second = serve();
    first.reset();
    EXPECT_TRUE(requestStatus("dom"));
    second.reset();
    EXPECT_FALSE(fs::exists(fs::symlink_status(socketPath)));
    EXPECT_EQ(requestStatus("dom"), std::nullopt);
}

TEST_F(ControlChannel, GarbageAndSilentClientsGetAnErrorInTimeAndHoldUpNoOtherClient) {
    const auto server = serve([](auto) { return true; }, 300ms);
    const auto silentSince = Clock::now();
    RawClient silent(socketPath);  // connected and saying nothing throughout

    struct Case {
        std::string bytes;
        bool end;  // the client ends its side after them
    };
    for (const auto& [bytes, end] : std::vector<Case>{{"hello\n", false},
                                                      {"wait\n", false},
                                                      {"wait -1\n", false},
                                                      {"wait nan\n", false},
                                                      {"wait 1e99\n", false},
                                                      {"wait 2 3\n", false},
                                                      {"status please\n", false},
                                                      {std::string(4096, 'x'), false},
                                                      {"", true},
                                                      {"stat", true}}) {
        SCOPED_TRACE(bytes.substr(0, 20) + (end ? " (end)" : ""));
        const auto sent = Clock::now();
        RawClient client(socketPath);
        client.send(bytes, end);
        const auto answer = nlohmann::json::parse(client.answer(), nullptr, false);
        EXPECT_TRUE(answer.is_object() && answer.contains("error") && answer["error"].is_string()) << answer;
        EXPECT_LT(secondsSince(sent), 0.2) << "answered at once, not at the timeout";
    }
    const auto asked = Clock::now();
    EXPECT_TRUE(requestStatus("dom"));
    EXPECT_LT(secondsSince(asked), 0.2);

    const auto dropped = nlohmann::json::parse(silent.answer(), nullptr, false);
    EXPECT_TRUE(dropped.contains("error")) << dropped;
    EXPECT_NEAR(secondsSince(silentSince), 0.3, 0.15);
    EXPECT_TRUE(requestStatus("dom")) << "still serving";
}

TEST_F(ControlChannel, StopAnswersAWaitUnderWayLeavesNoThreadAndRemovesTheSocket) {
    // ThreadSanitizer starts a thread of its own at the first thread made: made before the count is taken.
    std::thread([] {}).join();
    const int threadsBefore = threadCount();
    std::atomic<bool> entered = false;
    auto server = serve([&](auto) {
        entered = true;
        std::this_thread::sleep_for(400ms);  // an upload that takes its time: stop() does not cut it short
        return true;
    });
    std::string refused;
    Clock::time_point refusedAt;
    std::thread client([&] {
        try {
            requestStatus("dom", 10s);
        } catch (const std::runtime_error& error) {
            refused = error.what();
            refusedAt = Clock::now();
        }
    });
    ASSERT_TRUE(test::waitUntil(2, [&] { return entered.load(); }));
    const auto stopping = Clock::now();
    server->stop();
    const double stopSeconds = secondsSince(stopping);
    client.join();

    EXPECT_EQ(refused, "the mount answered: the mount is stopping");
    EXPECT_LT(std::chrono::duration<double>(refusedAt - stopping).count(), 0.2) << "told at once";
    EXPECT_GE(stopSeconds, 0.3) << "stop() waited for the wait's callback";
    // A joined thread is counted until the kernel has finished with it, a moment after its join returns.
    EXPECT_TRUE(test::waitUntil(1, [&] { return threadCount() == threadsBefore; })) << threadCount();
    EXPECT_FALSE(fs::exists(fs::symlink_status(socketPath)));
    server->stop();  // again: nothing
    EXPECT_EQ(requestStatus("dom"), std::nullopt);
}

}  // namespace
}  // namespace tw::mount
