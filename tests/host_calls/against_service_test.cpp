// The host-call library on the real extension, against the local service in this process: a fetch given up
// on. (Each call's answer against the real extension and service: the command-line tests in tests/apps,
// which make every call through the library.)
#include <gtest/gtest.h>
#include <stdlib.h>

#include "host_calls/item_calls.h"
#include "provider/extension.h"
#include "support/elapsed.h"
#include "support/files.h"
#include "support/service_fixture.h"

namespace tw::test {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;

class HostCallsOnTheService : public ::testing::Test {
protected:
    HostCallsOnTheService() {
        std::filesystem::create_directories(downloads);
        ::setenv("TMPDIR", downloads.c_str(), 1);  // where the session puts a download before it is moved
        previous = host::Manager::setProvider([folder = delivered](const host::Domain&) {
            return std::make_shared<host::DirectoryManager>(folder);
        });
        extension =
            FileProviderExtension::make({.identifier = "d",
                                         .displayName = "T",
                                         .userInfo = json{{"base", server.base()}, {"token", testToken}}});
    }
    ~HostCallsOnTheService() override {
        host::Manager::setProvider(previous);
        ::unsetenv("TMPDIR");
    }

    InProcessServer server;
    Api api = server.api();
    TempDir dir;
    std::filesystem::path downloads = dir.path() / "downloads", delivered = dir.path() / "delivered";
    host::Manager::Provider previous;
    std::shared_ptr<FileProviderExtension> extension;
};

// Giving a fetch up cancels it: the download under way stops and leaves no file behind, in the session's
// folder or the domain's, before the wait throws (it waits for that within its wind-down).
TEST_F(HostCallsOnTheService, AStopDuringAFetchCancelsTheDownloadAndLeavesNoFile) {
    const std::string id = api.upload("big", std::string(300'000, 'x'))["id"];
    ASSERT_EQ(api.post("/_control/faults", {{"path", "/blobs/*"}, {"stallAfter", 100'000}, {"stallMs", 5000}})
                  .status,
              201);
    std::stop_source stop;
    std::jthread interrupt([&] {
        waitUntil(5, [&] { return entriesIn(downloads) > 0; });  // the download has begun
        stop.request_stop();
    });
    const auto start = std::chrono::steady_clock::now();
    try {
        hostcalls::fetchContents(*extension, id, std::nullopt, {.stop = stop.get_token(), .windDown = 3s});
        FAIL() << "the stalled download completed";
    } catch (const Error& error) {
        EXPECT_EQ(error.code(), userCancelledErrorCode);
    }
    EXPECT_LT(secondsSince(start), 3) << "the stall was waited out";
    EXPECT_EQ(entriesIn(downloads), 0u);
    EXPECT_EQ(entriesIn(delivered), 0u);
}

}  // namespace
}  // namespace tw::test
