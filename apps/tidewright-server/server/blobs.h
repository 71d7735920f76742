#pragma once

// File contents on disk, under the data folder:
//   blobs/<rev>            committed contents, one file per revision, never changed after the rename
//   tmp/<random>.part      contents being received; renamed into blobs/ only when complete
//   uploads/<id>/<n>       the stored parts of a multipart upload, until it is completed or aborted
// A crash can leave files in tmp/ (removed at start) and unreferenced blobs (harmless), never a node
// whose content file is partial.

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace tw::server {

// A file descriptor closed on destruction.
class FileDescriptor {
public:
    FileDescriptor() = default;
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor();
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.release()) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept;
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }

private:
    int fd_ = -1;
};

// A new file in tmp/ that receives bytes; removed on destruction unless moved into place.
class TempFile {
public:
    explicit TempFile(const std::filesystem::path& tmpDir);
    ~TempFile();
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    // Appends the bytes; throws std::system_error when the disk refuses them.
    void write(const char* data, std::size_t size);
    // Appends the whole file at `source`; throws std::system_error.
    void append(const std::filesystem::path& source);
    std::int64_t size() const { return size_; }
    // Renames the file to `target` (same file system); afterwards the destructor leaves it alone.
    void moveTo(const std::filesystem::path& target);

private:
    std::filesystem::path path_;
    FileDescriptor fd_;
    std::int64_t size_ = 0;
    bool moved_ = false;
};

class BlobStore {
public:
    // Creates the folders when missing and empties tmp/. Throws std::filesystem::filesystem_error.
    explicit BlobStore(const std::filesystem::path& root);

    std::filesystem::path blobPath(const std::string& rev) const { return root_ / "blobs" / rev; }
    std::filesystem::path uploadDir(const std::string& uploadId) const {
        return root_ / "uploads" / uploadId;
    }
    std::filesystem::path partPath(const std::string& uploadId, std::int64_t part) const {
        return uploadDir(uploadId) / std::to_string(part);
    }
    std::filesystem::path tmpDir() const { return root_ / "tmp"; }

    // Removes a committed content file; a missing file is not an error.
    void removeBlob(const std::string& rev) const;
    // Removes the staged parts of an upload; a missing folder is not an error.
    void removeUpload(const std::string& uploadId) const;
    // Removes content files whose revision is not in `keep`, and upload folders not in `uploads`.
    void removeOrphans(const std::vector<std::string>& keep, const std::vector<std::string>& uploads) const;

private:
    std::filesystem::path root_;
};

}  // namespace tw::server
