// File moves on one file system and across two (/dev/shm is a tmpfs of its own).
#include "platform/files.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <fstream>
#include <system_error>

namespace tw {
namespace {

std::filesystem::path freshFolder(const std::filesystem::path& under) {
    std::string pattern = (under / "tw-files-XXXXXX").string();
    return ::mkdtemp(pattern.data()) ? std::filesystem::path(pattern) : std::filesystem::path();
}

std::string text(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

TEST(MoveFile, MovesWithinAndAcrossFileSystemsReplacingOnlyWhenAsked) {
    const auto here = freshFolder(std::filesystem::temp_directory_path());
    const auto elsewhere = freshFolder("/dev/shm");
    if (elsewhere.empty()) GTEST_SKIP() << "no /dev/shm";
    for (const auto& from : {here / "a", elsewhere / "a"}) {
        SCOPED_TRACE(from);
        const auto to = here / "b";
        std::filesystem::remove(to);
        std::ofstream(from) << "payload";
        ::chmod(from.c_str(), 0600);
        std::ofstream(to) << "old";

        try {
            moveFile(from, to, /*replace=*/false);
            ADD_FAILURE() << "an existing file was replaced";
        } catch (const std::system_error& error) {
            EXPECT_EQ(error.code().value(), EEXIST);
        }
        EXPECT_EQ(text(to), "old");
        EXPECT_TRUE(std::filesystem::exists(from));

        moveFile(from, to, /*replace=*/true);
        EXPECT_EQ(text(to), "payload");
        EXPECT_FALSE(std::filesystem::exists(from));
        struct stat info {};
        ::stat(to.c_str(), &info);
        EXPECT_EQ(info.st_mode & 0777, 0600u);
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(here), {}), 1);  // no staging file left
    }
    std::ofstream(elsewhere / "c") << "x";
    EXPECT_THROW(moveFile(elsewhere / "c", here / "missing" / "c", true), std::system_error);
    EXPECT_TRUE(std::filesystem::exists(elsewhere / "c"));
    std::filesystem::remove_all(here);
    std::filesystem::remove_all(elsewhere);
}

}  // namespace
}  // namespace tw
