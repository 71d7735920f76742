// tidewright mkdir, put, edit, mv, trash, restore and rm run as processes against tidewright-server.
#include <gtest/gtest.h>

#include <fstream>
#include <regex>

#include "cli_fixture.h"

namespace tw::test {
namespace {

using nlohmann::json;

// `size` bytes of a pattern that no part boundary repeats (byte i is i * 7 % 251), as a file in `folder`.
// Written a block at a time: the block is a whole number of periods, so blocks join seamlessly.
std::filesystem::path patternFile(const std::filesystem::path& folder, const std::string& name,
                                  std::size_t size, int seed = 0) {
    std::string block(251 * 4096, '\0');
    for (std::size_t i = 0; i < block.size(); ++i)
        block[i] = static_cast<char>((i * 7 + seed) % 251);
    const auto file = folder / name;
    std::ofstream out(file, std::ios::binary);
    for (std::size_t written = 0; written < size; written += block.size())
        out.write(block.data(), static_cast<std::streamsize>(std::min(block.size(), size - written)));
    return file;
}

// True when the two files hold the same bytes (read a block at a time: some are 100 MiB).
bool sameBytes(const std::filesystem::path& a, const std::filesystem::path& b) {
    std::ifstream left(a, std::ios::binary), right(b, std::ios::binary);
    std::string x(1 << 20, '\0'), y(1 << 20, '\0');
    while (left && right) {
        left.read(x.data(), static_cast<std::streamsize>(x.size()));
        right.read(y.data(), static_cast<std::streamsize>(y.size()));
        if (left.gcount() != right.gcount() || x.compare(0, left.gcount(), y, 0, right.gcount()) != 0)
            return false;
    }
    return left.eof() && right.eof();
}

std::string contentsOf(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

class CliMutations : public CliTest {
protected:
    // tidewright --json ARGS..., expected to succeed with one item.
    json itemFrom(const std::vector<std::string>& args) {
        std::vector<std::string> argv = {"--json"};
        argv.insert(argv.end(), args.begin(), args.end());
        const auto run = tidewright(argv);
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.lines.size(), 1u) << run.err;
        return run.lines.empty() ? json::object() : json::parse(run.lines[0]);
    }
    // The host error code of a run that failed with exit status 1.
    std::int64_t errorCodeOf(const std::vector<std::string>& args) {
        std::vector<std::string> argv = {"--json"};
        argv.insert(argv.end(), args.begin(), args.end());
        const auto run = tidewright(argv);
        EXPECT_EQ(run.status, 1) << run.err;
        EXPECT_TRUE(run.lines.empty());
        return json::parse(run.err)["error"]["code"];
    }
};

TEST_F(CliMutations, PutThenGetGivesBackEveryByteDirectlyAndInPartsFromEmptyTo100MiB) {
    const auto folder = itemFrom({"mkdir", "root", "Envios"});
    const std::string cache = "XDG_CACHE_HOME=" + (dir.path() / "cache").string();
    for (const std::size_t size :
         {std::size_t{0}, std::size_t{8388608}, std::size_t{8388609}, std::size_t{100} << 20}) {
        SCOPED_TRACE(size);
        const auto file = patternFile(dir.path(), "local-" + std::to_string(size), size);
        const auto item =
            itemFrom({"put", folder["id"], file.string(), "--name", "f" + std::to_string(size) + ".bin"});
        EXPECT_EQ(item["parent"], folder["id"]);
        EXPECT_EQ(item["size"], size);

        const auto back = dir.path() / ("back-" + std::to_string(size));
        const auto got = runProgram({"/usr/bin/env", cache, tidewrightPath(), "--config", configFile.string(),
                                     "get", item["id"], back.string()});
        ASSERT_EQ(got.status, 0) << got.err;
        EXPECT_EQ(std::filesystem::file_size(back), size);
        EXPECT_TRUE(sameBytes(back, file));
        std::filesystem::remove(back);
        std::filesystem::remove(file);
    }
}

TEST_F(CliMutations, AnEditOnAStaleRevisionGoesUpAsAConflictingCopyAndLeavesTheServicesContents) {
    Api api = server.api();
    const auto original = patternFile(dir.path(), "Relatorio.pdf", 1000, 1);
    const auto item = itemFrom({"put", "root", original.string()});
    const auto edited = patternFile(dir.path(), "edited", 2000, 2);

    // Edited on the version the item has now: overwritten in place.
    const auto overwritten = itemFrom({"edit", item["id"], edited.string()});
    EXPECT_EQ(overwritten["id"], item["id"]);
    EXPECT_NE(overwritten["contentVersion"], item["contentVersion"]);
    EXPECT_TRUE(api.download(item["id"]) == contentsOf(edited));

    // Edited on the first version, which the service has moved on from: a dated copy beside it.
    const auto stale = patternFile(dir.path(), "stale", 3000, 3);
    const auto answered =
        itemFrom({"edit", item["id"], stale.string(), "--base-rev", item["contentVersion"]});
    EXPECT_EQ(answered, overwritten);
    EXPECT_TRUE(api.download(item["id"]) == contentsOf(edited));
    const auto listing = api.get("/api/v1/nodes?parent=root&limit=500").json()["items"];
    ASSERT_EQ(listing.size(), 2u);
    const std::regex copyName(R"(Relatorio \(conflito \d{4}-\d\d-\d\d \d\d\.\d\d\)\.pdf)");
    EXPECT_TRUE(std::regex_match(listing[1]["name"].get<std::string>(), copyName)) << listing[1]["name"];
    EXPECT_EQ(listing[1]["mime"], "application/pdf");
    EXPECT_TRUE(api.download(listing[1]["id"]) == contentsOf(stale));
}

TEST_F(CliMutations, TrashRestoreAndRmTakeAnItemToTheTrashBackAndAwayForGood) {
    Api api = server.api();
    const auto folder = itemFrom({"mkdir", "root", "Pasta"});
    const auto file = itemFrom({"put", folder["id"], patternFile(dir.path(), "a.txt", 10).string()});
    const std::string id = file["id"];

    EXPECT_EQ(itemFrom({"trash", id})["parent"], "NSFileProviderTrashContainerItemIdentifier");
    EXPECT_EQ(itemFrom({"trash", id})["parent"], "NSFileProviderTrashContainerItemIdentifier");  // no change
    EXPECT_EQ(itemFrom({"restore", id})["parent"], folder["id"]);
    EXPECT_EQ(itemFrom({"restore", id})["parent"], folder["id"]);  // no change

    const auto rm = [&] {
        const auto run = tidewright({"rm", id});
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_TRUE(run.lines.empty());
    };
    rm();
    EXPECT_EQ(api.get("/api/v1/nodes/" + id + "?trashed=1").json()["deleted"], true);
    rm();
    EXPECT_EQ(api.get("/api/v1/nodes/" + id + "?trashed=1").status, 404);
    rm();  // gone counts as deleted
    EXPECT_EQ(errorCodeOf({"restore", id}), -1005);
}

TEST_F(CliMutations, MkdirAndMvMeetNameConflictsAsCollisionsAndBadInputChangesNothing) {
    Api api = server.api();
    const auto folder = itemFrom({"mkdir", "root", "Fotos"});
    EXPECT_EQ(errorCodeOf({"mkdir", "root", "Fotos"}), -1001);
    EXPECT_EQ(itemFrom({"mkdir", "root", "Fotos", "--may-already-exist"})["id"], folder["id"]);
    EXPECT_EQ(errorCodeOf({"mkdir", "trash", "Fotos"}), -2005);

    const auto file = itemFrom({"put", "root", patternFile(dir.path(), "b.txt", 3).string()});
    const auto moved = itemFrom({"mv", file["id"], "--name", "Fotos", "--parent", folder["id"]});
    EXPECT_EQ(moved["filename"], "Fotos");
    EXPECT_EQ(moved["parent"], folder["id"]);
    EXPECT_EQ(errorCodeOf({"mv", file["id"], "--parent", "root"}), -1001);  // the folder's name
    const auto back = itemFrom({"mv", file["id"], "--name", "b.txt", "--parent", "root"});
    EXPECT_EQ(back["parent"], "NSFileProviderRootContainerItemIdentifier");
    EXPECT_EQ(back["filename"], "b.txt");

    const auto nodesBefore = api.get("/api/v1/changes?since=0&limit=500").json();
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"mv", file["id"]}, {"rm", "root"}, {"trash", "trash"}, {"restore", "working-set"}}) {
        SCOPED_TRACE(args[0] + " " + args[1]);
        EXPECT_EQ(tidewright(args).status, 2);
    }
    const auto notAFile = tidewright({"put", "root", dir.path().string()});
    EXPECT_EQ(notAFile.status, 1);
    EXPECT_NE(notAFile.err.find("is not a regular file"), std::string::npos) << notAFile.err;
    EXPECT_EQ(tidewright({"edit", file["id"], (dir.path() / "missing").string()}).status, 1);
    std::filesystem::create_symlink("b.txt", dir.path() / "link.txt");
    EXPECT_EQ(errorCodeOf({"put", "root", (dir.path() / "link.txt").string()}), -2010);
    EXPECT_EQ(api.get("/api/v1/changes?since=0&limit=500").json(), nodesBefore);
}

}  // namespace
}  // namespace tw::test
