// Writing through a real mount, end to end: files copied on and read back through the service, the
// POSIX answers of every change, a safe save, an edit racing one on the service, files never sent, a mount
// killed with -9, a service that goes away, a full disk; and a random exerciser of one file's bytes.
#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <random>
#include <regex>

#include "mount/state_store.h"
#include "mounted_space.h"
#include "support/bytes.h"
#include "support/files.h"

namespace tw::mount {
namespace {

using namespace test;
using nlohmann::json;
using Clock = std::chrono::steady_clock;

class WritingMount : public MountedSpace {
protected:
    MountSettings writing(std::chrono::milliseconds writeBack = 0ms) const {
        auto options = settings();
        options.stateFile = dir.path() / "state.sqlite";
        options.writeBack = writeBack;
        options.firstRetry = 200ms;
        return options;
    }

    // Every file and folder the service holds in `parent` ("" the root), by name.
    std::map<std::string, json> children(const std::string& parent = "") {
        const auto reply = api.get("/api/v1/nodes?parent=" + (parent.empty() ? "root" : parent));
        EXPECT_EQ(reply.status, 200) << reply.body;
        std::map<std::string, json> named;
        const auto listing = reply.json();
        for (const auto& node : listing["items"])
            named[node["name"].get<std::string>()] = node;
        return named;
    }
    std::map<std::string, json> trashed() {
        std::map<std::string, json> named;
        const auto listing = api.get("/api/v1/trash").json();
        for (const auto& node : listing["items"])
            named[node["name"].get<std::string>()] = node;
        return named;
    }
    bool uploaded(std::chrono::seconds within = 20s) {
        return mount->filesystem().uploadNow(std::chrono::steady_clock::now() + within);
    }
    static std::string state(const fs::path& file) {
        char value[64];
        const auto n = ::getxattr(file.c_str(), "user.tidewright.state", value, sizeof value);
        return n < 0 ? std::string("errno ") + std::to_string(errno)
                     : std::string(value, static_cast<std::size_t>(n));
    }
};

// Whether `path` is there, asked without throwing: a mount coming up or just gone may answer ENOTCONN.
bool present(const fs::path& path) {
    std::error_code error;
    return fs::exists(path, error);
}

// Writes `bytes` through one descriptor in pieces of `piece`, then closes: false (and the failed call's errno
// printed) when any call failed.
bool writeFile(const fs::path& file, const std::string& bytes, std::size_t piece = 1 << 20, int flags = 0) {
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | flags, 0644);
    if (fd < 0) return std::fprintf(stderr, "open: %s\n", std::strerror(errno)), false;
    bool ok = true;
    for (std::size_t at = 0; ok && at < bytes.size(); at += piece) {
        const auto n = std::min(piece, bytes.size() - at);
        ok = ::write(fd, bytes.data() + at, n) == static_cast<ssize_t>(n);
        if (!ok) std::fprintf(stderr, "write: %s\n", std::strerror(errno));
    }
    if (::close(fd) != 0) return std::fprintf(stderr, "close: %s\n", std::strerror(errno)), false;
    return ok;
}

TEST_F(WritingMount, CopiedFilesAreReadBackAtOnceAndArriveOnTheServiceByteForByte) {
    MOUNT_OR_SKIP(writing(1h));  // nothing goes up before it is asked
    const std::map<std::string, std::string> files = {{"empty.txt", ""},
                                                      {"one.txt", "x"},
                                                      {"eight.bin", seededBytes(8 * MiB + 1, 1)},
                                                      {"hundred.bin", seededBytes(100 * MiB, 2)}};
    for (const auto& [name, bytes] : files) {
        ASSERT_TRUE(writeFile(mountpoint / name, bytes, name == "eight.bin" ? 100'000 : 1 << 20)) << name;
        // Read your writes: the local file, its size, before anything reached the service.
        EXPECT_EQ(statOf(mountpoint / name).st_size, std::ssize(bytes)) << name;
        EXPECT_TRUE(fileText(mountpoint / name) == bytes) << name;
        EXPECT_EQ(state(mountpoint / name), "pending") << name;
    }
    EXPECT_TRUE(children().empty());
    EXPECT_EQ(mount->filesystem().status().waiting(), 4);
    EXPECT_GE(mount->filesystem().status().cacheBytes, 108 * MiB);  // the local files are the cache's

    ASSERT_TRUE(uploaded(60s));
    const auto made = children();
    ASSERT_EQ(made.size(), files.size());
    for (const auto& [name, bytes] : files) {
        EXPECT_TRUE(api.download(made.at(name)["id"]) == bytes) << name;
        EXPECT_EQ(state(mountpoint / name), "uploaded") << name;
        EXPECT_TRUE(fileText(mountpoint / name) == bytes) << name;  // still the same file, now the service's
    }
    EXPECT_TRUE(mount->filesystem().status().allUploaded());
}

// The errno values a POSIX filesystem gives, and what each change does on the service.
TEST_F(WritingMount, FoldersAndFilesAreMadeRenamedAndRemovedWithPosixAnswers) {
    MOUNT_OR_SKIP(writing());
    const auto at = [&](const std::string& name) { return (mountpoint / name).string(); };
    ASSERT_EQ(::mkdir(at("docs").c_str(), 0755), 0);
    ASSERT_TRUE(children().contains("docs"));  // made at once: its children need its identifier
    ASSERT_TRUE(writeFile(at("docs/a.txt"), "a"));
    ASSERT_TRUE(writeFile(at("b.txt"), "b"));
    ASSERT_TRUE(uploaded());
    const auto docs = children().at("docs")["id"].get<std::string>();

    const std::string longName(256, 'x'), invalid = "n\xff.txt";
    const std::pair<const char*, std::function<int()>> refused[] = {
        {"mkdir of an existing name", [&] { return ::mkdir(at("docs").c_str(), 0755) ? errno : 0; }},
        {"O_EXCL",
         [&] { return ::open(at("b.txt").c_str(), O_CREAT | O_EXCL | O_WRONLY, 0644) < 0 ? errno : 0; }},
        {"rmdir of a full folder", [&] { return ::rmdir(at("docs").c_str()) ? errno : 0; }},
        {"rmdir of a file", [&] { return ::rmdir(at("b.txt").c_str()) ? errno : 0; }},
        {"unlink of a folder", [&] { return ::unlink(at("docs").c_str()) ? errno : 0; }},
        {"unlink of nothing", [&] { return ::unlink(at("none").c_str()) ? errno : 0; }},
        {"a file under a file",
         [&] { return ::open(at("b.txt/c").c_str(), O_CREAT | O_WRONLY, 0644) < 0 ? errno : 0; }},
        {"a long name",
         [&] { return ::open(at(longName).c_str(), O_CREAT | O_WRONLY, 0644) < 0 ? errno : 0; }},
        {"a name that is not UTF-8", [&] { return ::mkdir(at(invalid).c_str(), 0755) ? errno : 0; }},
        {"a folder over a file",
         [&] { return ::rename(at("docs").c_str(), at("b.txt").c_str()) ? errno : 0; }},
        {"a file over a folder",
         [&] { return ::rename(at("b.txt").c_str(), at("docs").c_str()) ? errno : 0; }},
        {"RENAME_NOREPLACE",
         [&] {
             return ::renameat2(AT_FDCWD, at("b.txt").c_str(), AT_FDCWD, at("docs/a.txt").c_str(),
                                RENAME_NOREPLACE)
                        ? errno
                        : 0;
         }},
        {"RENAME_EXCHANGE",
         [&] {
             return ::renameat2(AT_FDCWD, at("b.txt").c_str(), AT_FDCWD, at("docs/a.txt").c_str(),
                                RENAME_EXCHANGE)
                        ? errno
                        : 0;
         }},
        {"a hard link", [&] { return ::link(at("b.txt").c_str(), at("hard").c_str()) ? errno : 0; }},
    };
    const int expected[] = {EEXIST,       EEXIST, ENOTEMPTY, ENOTDIR, EISDIR, ENOENT, ENOTDIR,
                            ENAMETOOLONG, EINVAL, ENOTDIR,   EISDIR,  EEXIST, EINVAL, EPERM};
    for (std::size_t i = 0; i < std::size(refused); ++i)
        EXPECT_EQ(refused[i].second(), expected[i]) << refused[i].first;
    EXPECT_EQ(children().size(), 2u);  // nothing of those reached the service

    // chmod, chown and dates the service cannot keep: accepted, as cp -a and tar x need.
    EXPECT_EQ(::chmod(at("b.txt").c_str(), 0600), 0);
    EXPECT_EQ(::chown(at("b.txt").c_str(), ::getuid(), ::getgid()), 0);
    EXPECT_EQ(std::system(("cp -a '" + at("b.txt") + "' '" + at("docs/b copy.txt") + "'").c_str()), 0);

    // Renamed and moved on the service at once, the same items; a rename onto a name replaces it.
    ASSERT_EQ(::rename(at("docs").c_str(), at("papers").c_str()), 0);
    ASSERT_EQ(::rename(at("b.txt").c_str(), at("papers/a.txt").c_str()), 0);
    const auto papers = children();
    ASSERT_EQ(papers.size(), 1u);
    EXPECT_EQ(papers.at("papers")["id"], docs);
    ASSERT_TRUE(uploaded());
    const auto inside = children(docs);
    EXPECT_EQ(fileText(mountpoint / "papers/a.txt"), "b");
    EXPECT_TRUE(api.download(inside.at("a.txt")["id"]) == "b");
    EXPECT_TRUE(trashed().contains("a.txt"));  // the replaced one: in the trash, never purged at once

    // rm puts items in the service's trash; rmdir of the emptied folder too.
    ASSERT_EQ(::unlink(at("papers/a.txt").c_str()), 0);
    ASSERT_EQ(::unlink(at("papers/b copy.txt").c_str()), 0);
    ASSERT_EQ(::rmdir(at("papers").c_str()), 0);
    EXPECT_TRUE(children().empty());
    EXPECT_EQ(api.get("/api/v1/trash").json()["items"].size(), 4u);  // a.txt twice, b copy.txt, papers
    EXPECT_FALSE(fs::exists(mountpoint / "papers"));
}

// An editor's safe save (a new file renamed over the old) updates the item: same identifier, new contents.
TEST_F(WritingMount, ASafeSaveKeepsTheIdentifierAndAShortLivedFileSendsNothing) {
    const auto id = upload("nota.txt", "first");
    MOUNT_OR_SKIP(writing(300ms));
    for (const std::string temporary : {"nota.txt.tmp", ".nota.txt.swp", ".goutputstream-X1Y2"}) {
        SCOPED_TRACE(temporary);
        ASSERT_TRUE(writeFile(mountpoint / temporary, "saved by " + temporary));
        ASSERT_EQ(::rename((mountpoint / temporary).c_str(), (mountpoint / "nota.txt").c_str()), 0);
        EXPECT_EQ(fileText(mountpoint / "nota.txt"), "saved by " + temporary);
        ASSERT_TRUE(uploaded());
        const auto now = children();
        ASSERT_EQ(now.size(), 1u);
        EXPECT_EQ(now.at("nota.txt")["id"], id);
        EXPECT_EQ(api.download(id), "saved by " + temporary);
    }
    EXPECT_TRUE(trashed().empty());

    // Made, written, renamed and removed within the write-back delay: the service never hears of it.
    const auto before = api.get("/api/v1/changes?since=0").json()["changes"].size();
    ASSERT_TRUE(writeFile(mountpoint / "scratch", "short-lived"));
    ASSERT_EQ(::rename((mountpoint / "scratch").c_str(), (mountpoint / "scratch2").c_str()), 0);
    ASSERT_EQ(::unlink((mountpoint / "scratch2").c_str()), 0);
    ASSERT_TRUE(uploaded());
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(api.get("/api/v1/changes?since=0").json()["changes"].size(), before);
}

// Names the service never keeps stay on this machine: shown, never sent, listed as local-only, and not
// waiting: everything else counts as uploaded.
TEST_F(WritingMount, AFileOfANameTheServiceNeverKeepsStaysLocalOnly) {
    MOUNT_OR_SKIP(writing());
    ASSERT_TRUE(writeFile(mountpoint / ".DS_Store", "finder"));
    ASSERT_TRUE(writeFile(mountpoint / "kept.txt", "kept"));
    ASSERT_TRUE(uploaded());
    EXPECT_EQ(state(mountpoint / ".DS_Store"), "local-only");
    EXPECT_EQ(fileText(mountpoint / ".DS_Store"), "finder");
    const auto now = children();
    EXPECT_EQ(now.size(), 1u);
    EXPECT_TRUE(now.contains("kept.txt"));
    const auto status = mount->filesystem().status();
    ASSERT_EQ(status.entries.size(), 1u);
    EXPECT_EQ(status.entries[0].path, ".DS_Store");
    EXPECT_EQ(status.entries[0].state, UploadState::localOnly);
    EXPECT_TRUE(status.allUploaded());
}

// Symbolic links stay on this machine too: made, followed, listed, renamed (over a file as a link, never as
// its contents) and removed as on a local disk, kept across a restart, never sent.
TEST_F(WritingMount, SymbolicLinksStayOnThisMachineAndSurviveARestart) {
    upload("report.txt", "the service's");
    MOUNT_OR_SKIP(writing());
    const auto at = [&](const std::string& name) { return mountpoint / name; };
    const std::string far(4000, 'x');
    ASSERT_EQ(::symlink("report.txt", at("latest").c_str()), 0) << std::strerror(errno);
    ASSERT_EQ(::symlink(far.c_str(), at("far").c_str()), 0) << std::strerror(errno);
    EXPECT_EQ(::symlink("x", at("latest").c_str()), -1);
    EXPECT_EQ(errno, EEXIST);
    EXPECT_EQ(fs::read_symlink(at("latest")), "report.txt");
    EXPECT_EQ(fs::read_symlink(at("far")), far);
    EXPECT_EQ(fileText(at("latest")), "the service's");
    struct stat link {};
    ASSERT_EQ(::lstat(at("latest").c_str(), &link), 0);
    EXPECT_TRUE(S_ISLNK(link.st_mode));
    EXPECT_EQ(link.st_size, 10);
    std::map<std::string, unsigned char> types;
    DIR* folder = ::opendir(mountpoint.c_str());
    ASSERT_NE(folder, nullptr);
    while (const dirent* entry = ::readdir(folder))
        types[entry->d_name] = entry->d_type;
    ::closedir(folder);
    EXPECT_EQ(types["latest"], DT_LNK);
    EXPECT_EQ(types["report.txt"], DT_REG);

    // A tree with a link in it copied on, as cp -a does it; a link renamed, and one renamed over a file.
    const auto tree = dir.path() / "tree";
    fs::create_directories(tree);
    fs::create_symlink("../latest", tree / "up");
    EXPECT_EQ(std::system(("cp -a '" + tree.string() + "' '" + at("tree").string() + "'").c_str()), 0);
    EXPECT_EQ(fs::read_symlink(at("tree/up")), "../latest");
    fs::rename(at("latest"), at("newest"));
    EXPECT_EQ(fs::read_symlink(at("newest")), "report.txt");
    fs::rename(at("far"), at("report.txt"));
    EXPECT_EQ(fs::read_symlink(at("report.txt")), far);
    ASSERT_TRUE(uploaded());
    EXPECT_TRUE(trashed().contains("report.txt"));  // the file the link replaced, kept in the service's trash
    ASSERT_EQ(children().size(), 1u);               // the folder alone: no link was sent
    EXPECT_TRUE(children(children().at("tree")["id"]).empty());
    const auto status = mount->filesystem().status();
    EXPECT_EQ(status.entries.size(), 3u);
    for (const auto& entry : status.entries)
        EXPECT_EQ(entry.state, UploadState::localOnly) << entry.path;
    EXPECT_TRUE(status.allUploaded());

    fs::remove(at("newest"));
    mount.reset();
    ::umount2(mountpoint.c_str(), MNT_DETACH);
    MOUNT_OR_SKIP(writing());
    EXPECT_FALSE(fs::is_symlink(fs::symlink_status(at("newest"))));
    EXPECT_EQ(fs::read_symlink(at("report.txt")), far);
    EXPECT_EQ(fs::read_symlink(at("tree/up")), "../latest");
    EXPECT_EQ(::rmdir(at("tree").c_str()), -1);
    EXPECT_EQ(errno, ENOTEMPTY);
}

// An edit on the mount racing one through the service: the service's stays, the local one goes up beside it
// as the dated conflicting copy, and the mount shows both.
TEST_F(WritingMount, AnEditRacingAnEditOnTheServiceEndsAsAConflictCopyWithBothContents) {
    const auto id = upload("plan.txt", "base");
    MOUNT_OR_SKIP(writing(1h));
    ASSERT_EQ(fileText(mountpoint / "plan.txt"), "base");
    ASSERT_TRUE(writeFile(mountpoint / "plan.txt", "mine"));
    ASSERT_EQ(api.postBytes("/api/v1/files?name=plan.txt&mime=text%2Fplain&replace=" + id, "theirs").status,
              200);
    ASSERT_TRUE(uploaded());

    const auto now = children();
    ASSERT_EQ(now.size(), 2u);
    EXPECT_EQ(api.download(id), "theirs");
    std::string copy;
    for (const auto& [name, node] : now)
        if (name != "plan.txt") copy = name;
    EXPECT_TRUE(std::regex_match(copy, std::regex(R"(plan \(conflito \d{4}-\d\d-\d\d \d\d\.\d\d\)\.txt)")))
        << copy;
    EXPECT_EQ(api.download(now.at(copy)["id"]), "mine");
    ASSERT_TRUE(changesFollowed());
    EXPECT_EQ(fileText(mountpoint / "plan.txt"), "theirs");
    EXPECT_EQ(fileText(mountpoint / copy), "mine");
}

// The trash folder is the service's trash: a rename into files/ trashes, a rename out of it restores to where
// it is put, and an unlink inside it purges.
TEST_F(WritingMount, RenamesIntoAndOutOfTheTrashFolderTrashAndRestoreAndUnlinkThereRemovesForGood) {
    const auto docs = api.folder("docs")["id"].get<std::string>();
    const auto id = upload("nota.txt", "nota", docs);
    MOUNT_OR_SKIP(writing());
    const auto files = trash() / "files";
    ASSERT_EQ(::rename((mountpoint / "docs/nota.txt").c_str(), (files / "nota.txt").c_str()), 0);
    EXPECT_TRUE(trashed().contains("nota.txt"));
    EXPECT_TRUE(children(docs).empty());
    EXPECT_EQ(fileText(files / "nota.txt"), "nota");
    EXPECT_TRUE(fileText(trash() / "info/nota.txt.trashinfo").find("Path=docs/nota.txt") !=
                std::string::npos);

    ASSERT_EQ(::rename((files / "nota.txt").c_str(), (mountpoint / "back.txt").c_str()), 0);
    EXPECT_TRUE(trashed().empty());
    EXPECT_EQ(children().at("back.txt")["id"], id);
    EXPECT_EQ(fileText(mountpoint / "back.txt"), "nota");

    ASSERT_EQ(::unlink((mountpoint / "back.txt").c_str()), 0);  // to the trash
    ASSERT_EQ(::unlink((files / "back.txt").c_str()), 0);       // and out of it for good
    EXPECT_TRUE(trashed().empty());
    EXPECT_EQ(api.get("/api/v1/nodes/" + id).status, 404);
    EXPECT_FALSE(fs::exists(files / "back.txt"));
}

// `gio trash` writes its .trashinfo into the trash's info folder, then renames the file into files/: the
// item goes to the service's trash, and the mount shows it there with its .trashinfo.
TEST_F(WritingMount, GioTrashPutsTheItemInTheServicesTrash) {
    if (std::system("command -v gio >/dev/null") != 0)
        GTEST_SKIP() << "gio is not installed (libglib2.0-bin)";
    const auto id = upload("nota.txt", "nota");
    MOUNT_OR_SKIP(writing());
    const auto file = (mountpoint / "nota.txt").string();
    ASSERT_EQ(std::system(("gio trash '" + file + "'").c_str()), 0);
    EXPECT_TRUE(trashed().contains("nota.txt"));
    EXPECT_TRUE(children().empty());
    EXPECT_FALSE(fs::exists(file));
    const auto info = fileText(trash() / "info/nota.txt.trashinfo");
    EXPECT_TRUE(info.starts_with("[Trash Info]\nPath=nota.txt\n")) << info;
    EXPECT_EQ(fs::directory_iterator(trash() / "info") == fs::directory_iterator(), false);
    std::size_t infos = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(trash() / "info"))
        ++infos;
    EXPECT_EQ(infos, 1u);  // the one it wrote gave way to the trash's own
    ASSERT_EQ(::rename((trash() / "files/nota.txt").c_str(), file.c_str()), 0);  // a file manager's restore
    EXPECT_EQ(children().at("nota.txt")["id"], id);
}

// Each upload that fails is tried again after a pause, and nothing is lost while the service is away.
TEST_F(WritingMount, FilesWrittenWhileTheServiceIsAwayArriveWhenItComesBack) {
    MOUNT_OR_SKIP(writing());
    ASSERT_TRUE(changesFollowed());
    ASSERT_FALSE(fs::is_empty(mountpoint));  // the root listed while the service answered
    server->stop();
    const auto bytes = seededBytes(3 * MiB, 3);
    ASSERT_TRUE(writeFile(mountpoint / "offline.bin", bytes));
    ASSERT_TRUE(writeFile(mountpoint / "note.txt", "written offline"));
    EXPECT_FALSE(uploaded(2s));
    // Between two attempts (the pauses start at 200 ms here; an attempt shows as uploading).
    ASSERT_TRUE(waitUntil(5, [&] {
        const auto waiting = mount->filesystem().status();
        return waiting.entries.size() == 2 && waiting.entries[0].state == UploadState::failed &&
               waiting.entries[0].attempts >= 2 && !waiting.entries[0].lastError.empty();
    })) << mount->filesystem().status().entries.size();
    EXPECT_TRUE(waitUntil(5, [&] { return state(mountpoint / "note.txt") == "failed"; }));
    EXPECT_EQ(fileText(mountpoint / "note.txt"), "written offline");

    server->start();
    ASSERT_TRUE(uploaded());
    EXPECT_TRUE(api.download(children().at("offline.bin")["id"]) == bytes);
    EXPECT_EQ(api.download(children().at("note.txt")["id"]), "written offline");
}

// Unmounted while the service is away: the mount tries once more and ends, its changes kept in the journal.
TEST_F(WritingMount, AMountEndingWhileTheServiceIsAwayKeepsItsChangesForTheNextOne) {
    MOUNT_OR_SKIP(writing(1h));
    ASSERT_TRUE(changesFollowed());
    ASSERT_FALSE(fs::is_empty(mountpoint));  // the root listed while the service answered
    server->stop();
    ASSERT_TRUE(writeFile(mountpoint / "kept.txt", "kept"));
    const auto ending = Clock::now();
    mount.reset();
    EXPECT_LT(secondsSince(ending), 3.0);  // not the 5 s deadline
    EXPECT_EQ(StateStore(dir.path() / "state.sqlite").pendingChanges().size(), 1u);

    server->start();
    MOUNT_OR_SKIP(writing(1h));
    EXPECT_EQ(fileText(mountpoint / "kept.txt"), "kept");
    ASSERT_TRUE(uploaded());
    EXPECT_EQ(api.download(children().at("kept.txt")["id"]), "kept");
}

// kill -9 of the mount after close() returned: a restart shows the local files and uploads them.
TEST_F(WritingMount, WhatAKilledMountAcceptedIsShownAndUploadedAfterARestart) {
    const auto id = upload("kept.txt", "old");
    {
        ChildProcess child(command({"-f", "--write-back", "3600"}));
        ASSERT_TRUE(waitUntil(10, [&] { return present(mountpoint / "kept.txt"); })) << child.stderrText();
        ASSERT_TRUE(writeFile(mountpoint / "new.bin", seededBytes(5 * MiB, 5)));
        ASSERT_TRUE(writeFile(mountpoint / "kept.txt", "edited"));
        child.signal(SIGKILL);
        child.wait(5);
    }
    ::umount2(mountpoint.c_str(), MNT_DETACH);
    EXPECT_EQ(children().size(), 1u);  // nothing went up

    ChildProcess restarted(command({"-f", "--write-back", "0"}));
    ASSERT_TRUE(waitUntil(10, [&] { return present(mountpoint / "new.bin"); })) << restarted.stderrText();
    EXPECT_EQ(fileText(mountpoint / "kept.txt"), "edited");
    EXPECT_TRUE(fileText(mountpoint / "new.bin") == seededBytes(5 * MiB, 5));
    ASSERT_TRUE(waitUntil(20, [&] { return children().size() == 2 && api.download(id) == "edited"; }));
    EXPECT_TRUE(api.download(children().at("new.bin")["id"]) == seededBytes(5 * MiB, 5));
    EXPECT_EQ(state(mountpoint / "new.bin"), "uploaded");
    restarted.signal(SIGTERM);
    EXPECT_EQ(restarted.wait(10), 0);
}

// Two spaces of two services mounted side by side, each from its own configuration, with a state file, a
// cache and a control socket of its own: what is written on each reaches its own service, and `spaces` says
// where each is mounted.
TEST_F(WritingMount, TwoSpacesMountedSideBySideKeepToTheirOwnServices) {
    InProcessServer other;
    const auto config = dir.path() / "config" / "tidewright" / "spaces";
    fs::create_directories(config);
    for (const auto& [space, base] : {std::pair{"one", server->base()}, std::pair{"two", other.base()}}) {
        std::ofstream(config / (std::string(space) + ".json"))
            << json{{"base", base}, {"token", testToken}}.dump();
        fs::permissions(config / (std::string(space) + ".json"),
                        fs::perms::owner_read | fs::perms::owner_write);
    }
    ::setenv("XDG_CONFIG_HOME", (dir.path() / "config").c_str(), 1);
    command({});  // the state and runtime folders of this test
    const auto second = dir.path() / "second mount";
    fs::create_directories(second);
    const auto tool = [&](std::vector<std::string> words) {
        words.insert(words.begin(), TIDEWRIGHT_BINARY);
        return words;
    };
    ChildProcess one(tool({"--space", "one", "mount", "-f", mountpoint, "--write-back", "0"}));
    ChildProcess two(tool({"--space", "two", "mount", "-f", second, "--write-back", "0"}));
    ASSERT_TRUE(waitUntil(10, [&] { return present(mountpoint / (".Trash-" + std::to_string(::getuid()))); }))
        << one.stderrText();
    ASSERT_TRUE(waitUntil(10, [&] { return present(second / (".Trash-" + std::to_string(::getuid()))); }))
        << two.stderrText();
    ASSERT_TRUE(writeFile(mountpoint / "first.txt", "one"));
    ASSERT_TRUE(writeFile(second / "second.txt", "two"));
    for (const char* space : {"one", "two"}) {
        ChildProcess waited(tool({"--space", space, "status", "--wait", "20"}));
        EXPECT_EQ(waited.wait(30), 0) << waited.stderrText();
    }
    const auto made = children();
    ASSERT_EQ(made.size(), 1u);
    EXPECT_EQ(api.download(made.at("first.txt")["id"]), "one");
    const auto theirs = other.api().get("/api/v1/nodes?parent=root").json()["items"];
    ASSERT_EQ(theirs.size(), 1u);
    EXPECT_EQ(theirs[0]["name"], "second.txt");
    EXPECT_FALSE(present(second / "first.txt"));

    ChildProcess listed(tool({"--json", "spaces"}));
    std::map<std::string, json> mounted;
    while (const auto line = listed.readLine())
        mounted[json::parse(*line)["space"]] = json::parse(*line)["mountpoint"];
    EXPECT_EQ(mounted["one"], mountpoint.string());
    EXPECT_EQ(mounted["two"], second.string());
    for (auto* mount : {&one, &two}) {
        mount->signal(SIGTERM);
        EXPECT_EQ(mount->wait(10), 0);
    }
    ::unsetenv("XDG_CONFIG_HOME");
}

// kill -9 during an upload: the file was journaled at its close, so the next mount sends it again. When the
// service finished the killed upload on its own, the second goes up beside it: a copy too many, never one
// too few.
TEST_F(WritingMount, AMountKilledDuringAnUploadSendsTheFileAgainAfterARestart) {
    const auto bytes = seededBytes(2 * MiB, 9);
    ASSERT_EQ(
        api.post("/_control/faults", {{"path", "/api/v1/files*"}, {"delayMs", 1500}, {"times", 1}}).status,
        201);
    {
        ChildProcess child(command({"-f", "--write-back", "0"}));
        ASSERT_TRUE(waitUntil(10, [&] { return present(trash()); })) << child.stderrText();
        ASSERT_TRUE(writeFile(mountpoint / "sent.bin", bytes));
        ASSERT_TRUE(
            waitUntil(10, [&] { return api.get("/_control/faults").json()["faults"][0]["hits"] > 0; }));
        child.signal(SIGKILL);
        child.wait(5);
    }
    ::umount2(mountpoint.c_str(), MNT_DETACH);

    ChildProcess restarted(command({"-f", "--write-back", "0"}));
    ASSERT_TRUE(waitUntil(10, [&] { return present(trash()); })) << restarted.stderrText();
    auto status = command({});
    status.resize(3);
    status.insert(status.end(), {"status", "--wait", "30"});
    ChildProcess waited(status);
    EXPECT_EQ(waited.wait(40), 0) << waited.stderrText();
    const auto made = children();
    ASSERT_TRUE(made.contains("sent.bin"));
    EXPECT_LE(made.size(), 2u);
    for (const auto& [name, node] : made)
        EXPECT_TRUE(api.download(node["id"]) == bytes) << name;
    restarted.signal(SIGTERM);
    EXPECT_EQ(restarted.wait(10), 0);
}

// A full disk: the write that does not fit fails with ENOSPC, and what was accepted before still arrives.
TEST_F(WritingMount, AFullCacheDiskRefusesTheWriteAndLosesNothingAccepted) {
    const auto small = dir.path() / "small";
    fs::create_directories(small);
    if (::mount("tidewright-test", small.c_str(), "tmpfs", 0, "size=8m") != 0)
        GTEST_SKIP() << "no tmpfs can be mounted here: " << std::strerror(errno);
    struct Unmount {
        fs::path at;
        ~Unmount() { ::umount2(at.c_str(), MNT_DETACH); }
    } unmount{small};
    auto options = writing(1h);
    options.cacheFolder = small / "cache";
    MOUNT_OR_SKIP(options);
    const auto accepted = seededBytes(3 * MiB, 6);
    ASSERT_TRUE(writeFile(mountpoint / "accepted.bin", accepted));
    const int fd = ::open((mountpoint / "too big.bin").c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    const auto chunk = seededBytes(MiB, 7);
    int error = 0;
    for (int i = 0; i < 16 && !error; ++i)
        if (::write(fd, chunk.data(), chunk.size()) < 0) error = errno;
    if (!error && ::fsync(fd) != 0) error = errno;
    EXPECT_EQ(error, ENOSPC);
    ::close(fd);
    ASSERT_EQ(::unlink((mountpoint / "too big.bin").c_str()), 0);
    ASSERT_TRUE(uploaded());
    EXPECT_TRUE(api.download(children().at("accepted.bin")["id"]) == accepted);
}

// Files read and written again the moment their uploads end: every open meets either the local file or the
// service's version it became, never a version in between.
TEST_F(WritingMount, OpensRacingTheEndOfEachUploadSeeTheLatestBytes) {
    MOUNT_OR_SKIP(writing(0ms));
    for (int round = 0; round < 150; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const auto edited = "edit " + std::to_string(round);
        const auto made = mountpoint / ("new " + std::to_string(round % 10) + ".txt");
        ASSERT_TRUE(writeFile(mountpoint / "edited.txt", edited));
        ASSERT_TRUE(writeFile(made, edited));
        for (int look = 0; look < 3; ++look) {
            std::string read, readMade;
            ASSERT_NO_THROW(read = fileText(mountpoint / "edited.txt"));
            ASSERT_NO_THROW(readMade = fileText(made));
            ASSERT_EQ(read, edited);
            ASSERT_EQ(readMade, edited);
        }
    }
    ASSERT_TRUE(uploaded());
    const auto made = children();
    std::string names;
    for (const auto& [name, node] : made)
        names += " \"" + name + "\"";
    EXPECT_EQ(made.size(), 11u) << names;  // one item each, never a second made of a file going up
    EXPECT_EQ(api.download(made.at("edited.txt")["id"]), "edit 149");
}

// Random reads, writes, truncations and mapped reads and writes of one file, checked against a model of
// its bytes after every step, then against what reaches the service.
TEST_F(WritingMount, ARandomExerciserOfOneFileAlwaysMatchesItsModel) {
    MOUNT_OR_SKIP(writing(1h));
    const auto file = mountpoint / "exercised.bin";
    std::string model = seededBytes(300'000, 8);
    ASSERT_TRUE(writeFile(file, model));
    const int fd = ::open(file.c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    std::mt19937 random(2026);
    const auto pick = [&](std::int64_t bound) {
        return std::uniform_int_distribution<std::int64_t>(0, std::max<std::int64_t>(bound, 0))(random);
    };
    constexpr int steps = 3000;
    for (int step = 0; step < steps; ++step) {
        SCOPED_TRACE("step " + std::to_string(step));
        const auto size = std::ssize(model);
        switch (pick(5)) {
            case 0:
            case 1: {  // a write, past the end too
                const auto offset = pick(size + 5000);
                const auto bytes =
                    seededBytes(static_cast<std::size_t>(1 + pick(20'000)), static_cast<unsigned>(step));
                ASSERT_EQ(::pwrite(fd, bytes.data(), bytes.size(), offset), std::ssize(bytes));
                if (offset + std::ssize(bytes) > size)
                    model.resize(static_cast<std::size_t>(offset) + bytes.size(), '\0');
                model.replace(static_cast<std::size_t>(offset), bytes.size(), bytes);
                break;
            }
            case 2: {  // a truncation or a growth
                const auto to = pick(size + 30'000);
                ASSERT_EQ(::ftruncate(fd, to), 0);
                model.resize(static_cast<std::size_t>(to), '\0');
                break;
            }
            case 3: {  // a mapped write within the file
                if (size < 2) break;
                const auto offset = pick(size - 1),
                           length = 1 + pick(std::min<std::int64_t>(size - offset - 1, 9000));
                void* map = ::mmap(nullptr, static_cast<std::size_t>(size), PROT_READ | PROT_WRITE,
                                   MAP_SHARED, fd, 0);
                ASSERT_NE(map, MAP_FAILED) << std::strerror(errno);
                const auto bytes =
                    seededBytes(static_cast<std::size_t>(length), static_cast<unsigned>(step) + 1);
                std::memcpy(static_cast<char*>(map) + offset, bytes.data(), bytes.size());
                ASSERT_EQ(::msync(map, static_cast<std::size_t>(size), MS_SYNC), 0);
                ::munmap(map, static_cast<std::size_t>(size));
                model.replace(static_cast<std::size_t>(offset), bytes.size(), bytes);
                break;
            }
            case 4: {  // a mapped read
                if (size == 0) break;
                void* map = ::mmap(nullptr, static_cast<std::size_t>(size), PROT_READ, MAP_SHARED, fd, 0);
                ASSERT_NE(map, MAP_FAILED);
                const bool same = std::memcmp(map, model.data(), model.size()) == 0;
                ::munmap(map, static_cast<std::size_t>(size));
                ASSERT_TRUE(same);
                break;
            }
            default: {  // a read
                const auto offset = pick(size), length = pick(40'000);
                std::string bytes(static_cast<std::size_t>(length), '\0');
                const auto n = ::pread(fd, bytes.data(), bytes.size(), offset);
                ASSERT_EQ(n, std::min(length, size - offset));
                bytes.resize(static_cast<std::size_t>(n));
                ASSERT_TRUE(bytes == model.substr(static_cast<std::size_t>(offset), bytes.size()));
            }
        }
    }
    EXPECT_EQ(::close(fd), 0);
    EXPECT_TRUE(fileText(file) == model);
    ASSERT_TRUE(uploaded());
    EXPECT_TRUE(api.download(children().at("exercised.bin")["id"]) == model);
}

}  // namespace
}  // namespace tw::mount
