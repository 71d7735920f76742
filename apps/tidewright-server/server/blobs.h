#pragma once

// File contents on disk, under the data folder:
//   blobs/<rev>            committed contents, one file per revision, never changed after the rename
//   tmp/<random>.part      contents being received; renamed into blobs/ only when complete
//   uploads/<id>           the content of a multipart upload, each part written in place at its offset;
//                          renamed into blobs/ when the upload completes, removed when it is aborted
// Which parts of an upload arrived is the store's record, not the file's: bytes of a part that was cut
// short may sit in the file, unrecorded, until the part arrives whole. A crash can leave files in tmp/
// (removed at start) and unreferenced blobs (harmless), never a node whose content file is partial.

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
    std::int64_t size() const { return size_; }
    // Renames the file to `target` (same file system); afterwards the destructor leaves it alone.
    void moveTo(const std::filesystem::path& target);

private:
    std::filesystem::path path_;
    FileDescriptor fd_;
    std::int64_t size_ = 0;
    bool moved_ = false;
};

// Writes all of `data` at `offset` of `fd` (pwrite, resumed after short writes). Throws std::system_error.
void writeAt(int fd, const char* data, std::size_t size, std::int64_t offset);

class BlobStore {
public:
    // Creates the folders when missing and empties tmp/. Throws std::filesystem::filesystem_error.
    explicit BlobStore(const std::filesystem::path& root);

    std::filesystem::path blobPath(const std::string& rev) const { return root_ / "blobs" / rev; }
    std::filesystem::path uploadPath(const std::string& uploadId) const {
        return root_ / "uploads" / uploadId;
    }
    std::filesystem::path tmpDir() const { return root_ / "tmp"; }

    // Removes a committed content file; a missing file is not an error.
    void removeBlob(const std::string& rev) const;

    // Creates the empty content file of a new multipart upload (0600). Throws std::system_error.
    void createUpload(const std::string& uploadId) const;
    // The upload's content file opened for writing, or an empty descriptor when it is gone (aborted or
    // expired). Throws std::system_error on any other failure.
    FileDescriptor openUpload(const std::string& uploadId) const;
    // Renames the upload's content file to the blob `rev` / back again. Throws
    // std::filesystem::filesystem_error (no such file: the upload was aborted or expired meanwhile).
    void commitUpload(const std::string& uploadId, const std::string& rev) const;
    void uncommitUpload(const std::string& rev, const std::string& uploadId) const;
    // Removes an upload's content file; a missing file is not an error.
    void removeUpload(const std::string& uploadId) const;

    // Removes content files whose revision is not in `keep`, and entries of uploads/ that are not the
    // content file of an upload in `uploads`. Returns the uploads in `uploads` without a content file.
    std::vector<std::string> removeOrphans(const std::vector<std::string>& keep,
                                           const std::vector<std::string>& uploads) const;

private:
    std::filesystem::path root_;
};

}  // namespace tw::server
