// Files of one user's own: the owning descriptor, private folders and files replaced whole, on real files.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <system_error>
#include <utility>

#include "platform/atomic_file.h"
#include "platform/file_descriptor.h"
#include "platform/private_folder.h"
#include "support/files.h"
#include "support/temp_dir.h"

namespace tw {
namespace {

namespace fs = std::filesystem;

// The errno a call failed with (0: it did not throw).
int errnoOf(const std::function<void()>& call) {
    try {
        call();
    } catch (const std::system_error& error) {
        return error.code().value();
    }
    return 0;
}

// Whether `fd` is open on the file `identity` was taken from (a closed number may already name another).
bool isOpenOn(int fd, const struct stat& identity) {
    struct stat now {};
    return ::fstat(fd, &now) == 0 && now.st_dev == identity.st_dev && now.st_ino == identity.st_ino;
}

// The umask for one scope.
struct Umask {
    explicit Umask(mode_t mask) : previous(::umask(mask)) {}
    ~Umask() { ::umask(previous); }
    mode_t previous;
};

TEST(FileDescriptor, ClosesItsDescriptorOnceWhereverItIsMoved) {
    test::TempDir dir;
    std::ofstream(dir.path() / "f") << "x";
    struct stat identity {};
    int number = -1;
    {
        FileDescriptor outer;
        {
            FileDescriptor first = FileDescriptor::open(dir.path() / "f", O_RDONLY);
            number = first.get();
            ASSERT_EQ(::fstat(number, &identity), 0);
            FileDescriptor moved(std::move(first));
            outer = std::move(moved);
        }  // the moved-from owners go: the descriptor stays open
        EXPECT_TRUE(isOpenOn(number, identity));
        EXPECT_EQ(::fcntl(outer.get(), F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
        outer = FileDescriptor::open(dir.path() / "f", O_RDONLY);  // assigning over closes the one held
        EXPECT_NE(outer.get(), number);
        EXPECT_FALSE(isOpenOn(number, identity));
        number = outer.get();
        ASSERT_EQ(::fstat(number, &identity), 0);
        const int released = outer.release();
        EXPECT_FALSE(outer);
        outer.reset(released);
    }
    EXPECT_FALSE(isOpenOn(number, identity));
    EXPECT_EQ(errnoOf([&] { FileDescriptor::open(dir.path() / "missing", O_RDONLY); }), ENOENT);
}

// Whatever the umask, a folder made is 0700 and so is every missing folder on the way; folders that were
// there are left as they were.
TEST(PrivateFolder, MakesEveryMissingFolder0700WhateverTheUmask) {
    for (const mode_t mask : {mode_t{0}, mode_t{022}, mode_t{0277}}) {
        SCOPED_TRACE(testing::Message() << "umask " << std::oct << mask);
        test::TempDir dir;
        fs::create_directory(dir.path() / "shared");
        fs::permissions(dir.path() / "shared", fs::perms(0755));
        const Umask scoped(mask);
        makePrivateFolder(dir.path() / "shared/a/b/c/");
        for (const char* made : {"shared/a", "shared/a/b", "shared/a/b/c"})
            EXPECT_EQ(test::modeOf(dir.path() / made), 0700u) << made;
        EXPECT_EQ(test::modeOf(dir.path() / "shared"), 0755u);
        makePrivateFolder(dir.path() / "shared/a/b/c");  // accepted again as it is
    }
}

// Refused, not repaired: someone may already be inside, or swap what lands there.
TEST(PrivateFolder, RefusesAnExistingFolderThatIsNotOursAlone) {
    test::TempDir dir;
    const fs::path root = dir.path();
    fs::create_directory(root / "private");
    fs::permissions(root / "private", fs::perms(0700));
    fs::create_directory_symlink(root / "private", root / "link");
    std::ofstream(root / "file") << "x";
    struct Case {
        const char* name;
        unsigned mode;  // of a folder made for the case; 0: use what is there
        int error;
    } cases[] = {
        {"private", 0, 0},    {"open", 0777, EACCES}, {"readable", 0750, EACCES}, {"enterable", 0701, EACCES},
        {"link", 0, ENOTDIR}, {"file", 0, ENOTDIR},   {"file/below", 0, ENOTDIR},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.mode != 0) {
            fs::create_directory(root / c.name);
            fs::permissions(root / c.name, fs::perms(c.mode));
        }
        EXPECT_EQ(errnoOf([&] { makePrivateFolder(root / c.name); }), c.error);
        if (c.mode != 0) {
            EXPECT_EQ(test::modeOf(root / c.name), c.mode);
        }
    }
    // Only root can give a folder to another user: elsewhere that case is left out.
    fs::create_directory(root / "theirs");
    fs::permissions(root / "theirs", fs::perms(0700));
    if (::geteuid() == 0 && ::chown((root / "theirs").c_str(), 65534, 65534) == 0) {
        EXPECT_EQ(errnoOf([&] { makePrivateFolder(root / "theirs"); }), EACCES);
    }
}

TEST(AtomicFile, WritesAPrivateFileOrReplacesOneOnlyWhenAsked) {
    using Placement = AtomicFile::Placement;
    test::TempDir dir;
    const fs::path file = dir.path() / "state.json";
    const Umask open(0);
    writeFileAtomically(file, "first", Placement::keepExisting);
    EXPECT_EQ(test::fileText(file), "first");
    EXPECT_EQ(test::modeOf(file), 0600u);

    EXPECT_EQ(errnoOf([&] { writeFileAtomically(file, "second", Placement::keepExisting); }), EEXIST);
    EXPECT_EQ(test::fileText(file), "first");
    fs::permissions(file, fs::perms(0644));
    writeFileAtomically(file, std::string("sec\0ond", 7));
    EXPECT_EQ(test::fileText(file), std::string("sec\0ond", 7));
    EXPECT_EQ(test::modeOf(file), 0600u) << "a new file, not the old one rewritten";
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), {}), 1) << "no temporary file left";
}

// Until the commit the destination holds the old bytes; a failure at any step leaves it so, with no file
// of the attempt left beside it.
TEST(AtomicFile, AFailureOrAMissingCommitLeavesTheOldFileAndNothingElse) {
    test::TempDir dir;
    const fs::path file = dir.path() / "data";
    std::ofstream(file) << "old";
    const auto onlyTheOldFileIsThere = [&] {
        EXPECT_EQ(test::fileText(file), "old");
        EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), {}), 1);
    };
    {
        AtomicFile pending(file);
        pending.write("new ");
        pending.write("bytes");
        // Named after its destination, so that a folder's owner (the mount's cache, at start) can tell one
        // that a crash left behind.
        EXPECT_EQ(pending.temporaryPath().parent_path(), dir.path());
        EXPECT_TRUE(pending.temporaryPath().filename().string().starts_with("data."));
        EXPECT_EQ(pending.temporaryPath().extension(), ".tmp");
        EXPECT_EQ(test::fileText(pending.temporaryPath()), "new bytes");
        pending.sync();
        EXPECT_EQ(test::fileText(file), "old");
    }  // goes without a commit
    onlyTheOldFileIsThere();

    // A write past the file size limit fails with EFBIG (SIGXFSZ ignored for the while).
    {
        const auto previousSignal = ::signal(SIGXFSZ, SIG_IGN);
        rlimit previous{};
        ::getrlimit(RLIMIT_FSIZE, &previous);
        rlimit small = previous;
        small.rlim_cur = 4096;
        ::setrlimit(RLIMIT_FSIZE, &small);
        const int error = errnoOf([&] { writeFileAtomically(file, std::string(10'000, 'n')); });
        ::setrlimit(RLIMIT_FSIZE, &previous);
        ::signal(SIGXFSZ, previousSignal);
        EXPECT_EQ(error, EFBIG);
        onlyTheOldFileIsThere();
    }

    // The rename fails: a folder holds the destination's name.
    fs::create_directories(dir.path() / "folder/inside");
    EXPECT_NE(errnoOf([&] { writeFileAtomically(dir.path() / "folder", "new"); }), 0);
    EXPECT_TRUE(fs::is_directory(dir.path() / "folder/inside"));
    fs::remove_all(dir.path() / "folder");
    onlyTheOldFileIsThere();

    EXPECT_EQ(errnoOf([&] { writeFileAtomically(dir.path() / "missing/data", "new"); }), ENOENT);
    onlyTheOldFileIsThere();
}

}  // namespace
}  // namespace tw
