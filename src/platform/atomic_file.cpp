#include "platform/atomic_file.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <system_error>

namespace tw {
namespace {

[[noreturn]] void fail(int code, const std::string& what, const std::filesystem::path& path) {
    throw std::system_error(code, std::generic_category(), what + " " + path.string());
}

std::filesystem::path folderOf(const std::filesystem::path& file) {
    return file.has_parent_path() ? file.parent_path() : std::filesystem::path(".");
}

}  // namespace

AtomicFile::AtomicFile(std::filesystem::path destination) : destination_(std::move(destination)) {
    if (!destination_.has_filename()) fail(EISDIR, "no file name in", destination_);
    std::string pattern =
        (folderOf(destination_) / (destination_.filename().string() + ".XXXXXX.tmp")).string();
    const int fd = ::mkostemps(pattern.data(), 4, O_CLOEXEC);  // mode 0600, whatever the umask
    if (fd < 0) fail(errno, "cannot create a file beside", destination_);
    temporary_ = pattern;
    fd_.reset(fd);
}

AtomicFile::~AtomicFile() {
    if (committed_) return;
    fd_.reset();
    ::unlink(temporary_.c_str());
}

void AtomicFile::write(std::string_view bytes) {
    if (committed_) fail(EBADF, "already committed:", destination_);
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd_.get(), bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) fail(errno, "cannot write", temporary_);
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    synced_ = false;
}

void AtomicFile::sync() {
    if (committed_) fail(EBADF, "already committed:", destination_);
    if (::fsync(fd_.get()) != 0) fail(errno, "cannot write", temporary_);
    synced_ = true;
}

void AtomicFile::commit(Placement placement, FolderSync folderSync) {
    if (!synced_) sync();
    try {
        fd_.close();  // on some file systems (NFS) a write's failure shows only here
    } catch (const std::system_error& error) {
        fail(error.code().value(), "cannot write", temporary_);
    }
    if (placement == Placement::replace) {
        if (::rename(temporary_.c_str(), destination_.c_str()) != 0)
            fail(errno, "cannot put in place", destination_);
    } else if (::renameat2(AT_FDCWD, temporary_.c_str(), AT_FDCWD, destination_.c_str(), RENAME_NOREPLACE) !=
               0) {
        // A file system without RENAME_NOREPLACE: a hard link fails on an existing name just the same.
        if (errno != EINVAL || ::link(temporary_.c_str(), destination_.c_str()) != 0)
            fail(errno, "cannot put in place", destination_);
        ::unlink(temporary_.c_str());
    }
    committed_ = true;
    if (folderSync == FolderSync::skip) return;
    const FileDescriptor folder(::open(folderOf(destination_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder) ::fsync(folder.get());
}

void writeFileAtomically(const std::filesystem::path& file, std::string_view contents,
                         AtomicFile::Placement placement) {
    AtomicFile atomic(file);
    atomic.write(contents);
    atomic.commit(placement);
}

}  // namespace tw
