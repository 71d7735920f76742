// Every call of the host-call library made on the real extension, against the local service in this process.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>

#include "host_calls/enumeration_calls.h"
#include "host_calls/item_calls.h"
#include "host_calls/template_item.h"
#include "provider/extension.h"
#include "support/elapsed.h"
#include "support/files.h"
#include "support/service_fixture.h"

namespace tw::test {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;

std::vector<std::string> namesOf(const std::vector<host::ItemPointer>& items) {
    std::vector<std::string> names;
    for (const auto& item : items)
        names.push_back(item->filename());
    return names;
}

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

TEST_F(HostCallsOnTheService, EveryCallAnswersWhatTheServiceHolds) {
    const std::string docs = api.folder("Docs")["id"];
    const std::string note = api.upload("nota.txt", "0123456789", docs)["id"];
    auto workingSet = extension->enumerator(host::workingSet, host::Request{});
    const auto anchor = hostcalls::currentAnchor(*workingSet);
    ASSERT_TRUE(anchor);

    EXPECT_EQ(hostcalls::item(*extension, note)->filename(), "nota.txt");
    EXPECT_EQ(namesOf(hostcalls::listContainer(*extension, docs)), std::vector<std::string>{"nota.txt"});
    const auto whole = hostcalls::fetchContents(*extension, note, std::nullopt);
    EXPECT_EQ(fileText(whole.file), "0123456789");
    const auto part = hostcalls::fetchPartialContents(*extension, note, whole.item->itemVersion(), {2, 3}, 1);
    EXPECT_EQ(part.range.location, 2);
    EXPECT_EQ(fileText(part.file).substr(2, 3), "234");

    auto folder = hostcalls::TemplateItem::toCreate(docs, "Novas");
    folder.ofType(ContentType::folder());
    const auto made =
        hostcalls::createItem(*extension, folder.share(), folder.changedFields(), std::nullopt, 0);
    const std::string madeId = made.item->itemIdentifier();
    const auto renamed = hostcalls::TemplateItem::toModify(note).named("lida.txt");
    EXPECT_EQ(hostcalls::modifyItem(*extension, renamed.share(), {}, renamed.changedFields(), std::nullopt, 0)
                  .item->filename(),
              "lida.txt");
    hostcalls::deleteItem(*extension, madeId, {}, 0);
    EXPECT_EQ(namesOf(hostcalls::listContainer(*extension, host::trashContainer)),
              std::vector<std::string>{"Novas"});

    // The feed since the anchor: each node once, as it now is, in the order of its last change (the new
    // folder is in the trash by now).
    std::vector<std::string> changes;
    const auto last = hostcalls::catchUp(*workingSet, *anchor, {}, [&](const hostcalls::ChangeBatch& batch) {
        for (const auto& item : batch.updated)
            changes.push_back(item->filename() +
                              (item->parentItemIdentifier() == host::trashContainer ? " (trash)" : ""));
    });
    EXPECT_EQ(changes, (std::vector<std::string>{"lida.txt", "Novas (trash)"}));
    EXPECT_EQ(last, hostcalls::currentAnchor(*workingSet));
}

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
