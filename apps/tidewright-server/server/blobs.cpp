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

void writeAt(int fd, const char* data, std::size_t size, std::int64_t offset) {
    while (size > 0) {
        ssize_t n = ::pwrite(fd, data, size, static_cast<off_t>(offset));
        if (n < 0) {
            if (errno == EINTR) continue;
            throwErrno("write");
        }
        data += n;
        size -= static_cast<std::size_t>(n);
        offset += n;
    }
}

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

void BlobStore::createUpload(const std::string& uploadId) const {
    auto path = uploadPath(uploadId);
    FileDescriptor fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (!fd) throwErrno("create " + path.string());
}

FileDescriptor BlobStore::openUpload(const std::string& uploadId) const {
    auto path = uploadPath(uploadId);
    FileDescriptor fd(::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW));
    if (!fd && errno != ENOENT) throwErrno("open " + path.string());
    return fd;
}

void BlobStore::commitUpload(const std::string& uploadId, const std::string& rev) const {
    fs::rename(uploadPath(uploadId), blobPath(rev));
}

void BlobStore::uncommitUpload(const std::string& rev, const std::string& uploadId) const {
    fs::rename(blobPath(rev), uploadPath(uploadId));
}

void BlobStore::removeUpload(const std::string& uploadId) const {
    std::error_code ignored;
    fs::remove(uploadPath(uploadId), ignored);
}

std::vector<std::string> BlobStore::removeOrphans(const std::vector<std::string>& keep,
                                                  const std::vector<std::string>& uploads) const {
    std::unordered_set<std::string> revs(keep.begin(), keep.end());
    std::unordered_set<std::string> ids(uploads.begin(), uploads.end());
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator(root_ / "blobs")) {
        if (!revs.count(entry.path().filename().string())) fs::remove(entry.path(), ignored);
    }
    // A folder here is an upload kept by an earlier version of the service, one file per part: its
    // parts were never recorded, so the upload cannot complete and goes.
    std::unordered_set<std::string> present;
    for (const auto& entry : fs::directory_iterator(root_ / "uploads")) {
        auto id = entry.path().filename().string();
        if (ids.count(id) && entry.is_regular_file(ignored) && !entry.is_symlink(ignored)) {
            present.insert(id);
        } else {
            fs::remove_all(entry.path(), ignored);
        }
    }
    std::vector<std::string> missing;
    for (const auto& id : uploads)
        if (!present.count(id)) missing.push_back(id);
    return missing;
}

}  // namespace tw::server
