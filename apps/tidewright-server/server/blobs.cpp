#include "server/blobs.h"

#include "server/util.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <unordered_set>

namespace tw::server {
namespace fs = std::filesystem;

namespace {

[[noreturn]] void throwErrno(const std::string& what) {
    throw std::system_error(errno, std::generic_category(), what);
}

}  // namespace

FileDescriptor::~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
}

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = other.release();
    }
    return *this;
}

TempFile::TempFile(const fs::path& tmpDir) : path_(tmpDir / (randomHex(12) + ".part")) {
    fd_ = FileDescriptor(::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (!fd_) throwErrno("create " + path_.string());
}

TempFile::~TempFile() {
    if (!moved_) {
        std::error_code ignored;
        fs::remove(path_, ignored);
    }
}

void TempFile::write(const char* data, std::size_t size) {
    while (size > 0) {
        ssize_t n = ::write(fd_.get(), data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            throwErrno("write " + path_.string());
        }
        data += n;
        size -= static_cast<std::size_t>(n);
        size_ += n;
    }
}

void TempFile::append(const fs::path& source) {
    FileDescriptor in(::open(source.c_str(), O_RDONLY | O_CLOEXEC));
    if (!in) throwErrno("open " + source.string());
    for (;;) {
        ssize_t n = ::copy_file_range(in.get(), nullptr, fd_.get(), nullptr, 1 << 30, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            throwErrno("copy " + source.string());
        }
        if (n == 0) break;
        size_ += n;
    }
}

void TempFile::moveTo(const fs::path& target) {
    fs::rename(path_, target);
    moved_ = true;
}

BlobStore::BlobStore(const fs::path& root) : root_(root) {
    for (const char* sub : {"blobs", "uploads", "tmp"})
        makePrivateDir(root_ / sub);
    for (const auto& entry : fs::directory_iterator(root_ / "tmp"))
        fs::remove_all(entry.path());
}

void BlobStore::removeBlob(const std::string& rev) const {
    std::error_code ignored;
    fs::remove(blobPath(rev), ignored);
}

void BlobStore::removeUpload(const std::string& uploadId) const {
    std::error_code ignored;
    fs::remove_all(uploadDir(uploadId), ignored);
}

void BlobStore::removeOrphans(const std::vector<std::string>& keep,
                              const std::vector<std::string>& uploads) const {
    std::unordered_set<std::string> revs(keep.begin(), keep.end());
    std::unordered_set<std::string> ids(uploads.begin(), uploads.end());
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator(root_ / "blobs")) {
        if (!revs.count(entry.path().filename().string())) fs::remove(entry.path(), ignored);
    }
    for (const auto& entry : fs::directory_iterator(root_ / "uploads")) {
        if (!ids.count(entry.path().filename().string())) fs::remove_all(entry.path(), ignored);
    }
}

}  // namespace tw::server
