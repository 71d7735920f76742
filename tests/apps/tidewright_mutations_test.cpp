// tidewright mkdir, edit, mv, trash, restore and rm run as processes against tidewright-server (put in the
// content tests).
#include <regex>

#include "cli_fixture.h"

namespace tw::test {
namespace {

TEST_F(CliTest, AnEditOnAStaleRevisionGoesUpAsAConflictingCopyAndLeavesTheServicesContents) {
    writePattern(dir.path() / "Relatorio.pdf", 1000, 1);
    const auto item = itemFrom({"put", "root", (dir.path() / "Relatorio.pdf").string()});
    const std::string edited = writePattern(dir.path() / "edited", 2000, 2);
    // Edited on the version the item has now: overwritten in place.
    const auto overwritten = itemFrom({"edit", item["id"], (dir.path() / "edited").string()});
    EXPECT_EQ(overwritten["id"], item["id"]);
    EXPECT_NE(overwritten["contentVersion"], item["contentVersion"]);
    EXPECT_TRUE(api.download(item["id"]) == edited);

    // Edited on the first version, which the service has moved on from: a dated copy beside it.
    const std::string stale = writePattern(dir.path() / "stale", 3000, 3);
    EXPECT_EQ(
        itemFrom({"edit", item["id"], (dir.path() / "stale").string(), "--base-rev", item["contentVersion"]}),
        overwritten);
    EXPECT_TRUE(api.download(item["id"]) == edited);
    const auto listing = api.get("/api/v1/nodes?parent=root&limit=500").json()["items"];
    ASSERT_EQ(listing.size(), 2u);
    const std::regex copyName(R"(Relatorio \(conflito \d{4}-\d\d-\d\d \d\d\.\d\d\)\.pdf)");
    EXPECT_TRUE(std::regex_match(listing[1]["name"].get<std::string>(), copyName)) << listing[1]["name"];
    EXPECT_EQ(listing[1]["mime"], "application/pdf");
    EXPECT_TRUE(api.download(listing[1]["id"]) == stale);
}

TEST_F(CliTest, TrashRestoreAndRmTakeAnItemToTheTrashBackAndAwayForGood) {
    const auto folder = itemFrom({"mkdir", "root", "Pasta"});
    const std::string id = api.upload("a.txt", "0123456789", folder["id"])["id"];
    for (int twice = 0; twice < 2; ++twice) {  // the second time, nothing changes
        EXPECT_EQ(itemFrom({"trash", id})["parent"], inTrash);
        EXPECT_EQ(itemFrom({"restore", id})["parent"], folder["id"]);
    }
    // From the trash, then away for good; gone counts as deleted.
    for (const int status : {200, 404, 404}) {
        const auto rm = tidewright({"rm", id});
        EXPECT_EQ(rm.status, 0) << rm.err;
        EXPECT_TRUE(rm.lines.empty());
        const auto node = api.get("/api/v1/nodes/" + id + "?trashed=1");
        EXPECT_EQ(node.status, status);
        EXPECT_EQ(node.json().value("deleted", false), status == 200);
    }
    EXPECT_EQ(errorCodeOf({"restore", id}), -1005);
}

TEST_F(CliTest, MkdirAndMvMeetNameConflictsAsCollisionsAndBadInputChangesNothing) {
    const auto folder = itemFrom({"mkdir", "root", "Fotos"});
    EXPECT_EQ(errorCodeOf({"mkdir", "root", "Fotos"}), -1001);
    EXPECT_EQ(itemFrom({"mkdir", "root", "Fotos", "--may-already-exist"})["id"], folder["id"]);
    EXPECT_EQ(errorCodeOf({"mkdir", "trash", "Fotos"}), -2005);

    const std::string file = api.upload("b.txt", "abc")["id"];
    const auto moved = itemFrom({"mv", file, "--name", "Fotos", "--parent", folder["id"]});
    EXPECT_EQ(moved["filename"], "Fotos");
    EXPECT_EQ(moved["parent"], folder["id"]);
    EXPECT_EQ(errorCodeOf({"mv", file, "--parent", "root"}), -1001);  // the folder's name
    const auto back = itemFrom({"mv", file, "--name", "b.txt", "--parent", "root"});
    EXPECT_EQ(back["parent"], "NSFileProviderRootContainerItemIdentifier");
    EXPECT_EQ(back["filename"], "b.txt");

    const auto nodesBefore = api.get("/api/v1/changes?since=0&limit=500").json();
    for (const std::vector<std::string>& args : {std::vector<std::string>{"mv", file},
                                                 {"rm", "root"},
                                                 {"trash", "trash"},
                                                 {"restore", "working-set"}})
        EXPECT_EQ(tidewright(args).status, 2) << args[0] << " " << args[1];
    const auto notAFile = tidewright({"put", "root", dir.path().string()});
    EXPECT_EQ(notAFile.status, 1);
    EXPECT_NE(notAFile.err.find("is not a regular file"), std::string::npos) << notAFile.err;
    EXPECT_EQ(tidewright({"edit", file, (dir.path() / "missing").string()}).status, 1);
    std::filesystem::create_symlink("b.txt", dir.path() / "link.txt");
    EXPECT_EQ(errorCodeOf({"put", "root", (dir.path() / "link.txt").string()}), -2010);
    EXPECT_EQ(api.get("/api/v1/changes?since=0&limit=500").json(), nodesBefore);
}

}  // namespace
}  // namespace tw::test
