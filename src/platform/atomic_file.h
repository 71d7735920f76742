#pragma once
// Files replaced whole: a reader, and the disk after a crash, find the old file or the new one, never a part.

#include <filesystem>
#include <string_view>

#include "platform/file_descriptor.h"

namespace tw {

// A new file written beside its destination and then put in its place by a rename. Its bytes go to a
// temporary file of mode 0600 in the destination's folder, named "<destination's name>.XXXXXX.tmp" (six
// random characters), so that the folder's owner can tell one that a crash left behind; commit() flushes it
// to disk, renames it over the destination and flushes the folder. Until then the destination is untouched,
// and an AtomicFile that goes without a commit, or whose commit fails, removes its temporary file: nothing
// partial is ever left. Not thread-safe: one thread writes and commits.
class AtomicFile {
public:
    enum class Placement { replace, keepExisting };
    // Whether commit() flushes the folder after the rename, so that the rename itself survives a crash.
    // `skip` is for a caller that renames under a lock of its own and checks what it finds after a crash
    // anyway.
    enum class FolderSync { now, skip };

    // Creates the temporary file. Throws std::system_error (the folder is missing, or refuses files).
    explicit AtomicFile(std::filesystem::path destination);
    ~AtomicFile();
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;

    // Appends all of `bytes`. Throws std::system_error.
    void write(std::string_view bytes);
    // Flushes the bytes written so far to disk (fsync). commit() does it when not done since the last write;
    // a caller that commits under a lock of its own calls this before taking it. Throws std::system_error.
    void sync();
    // Renames the file into place: over an existing destination, or with `keepExisting` only where there
    // is none (else std::system_error EEXIST, and the destination is as it was). Then the folder is flushed
    // (unless `skip`); a failure of that last step is ignored, as the new file is in place already. Throws
    // std::system_error; succeeds at most once.
    void commit(Placement placement = Placement::replace, FolderSync folderSync = FolderSync::now);

    // The temporary file, while not committed: for a caller that writes through the descriptor itself (and
    // calls sync() before commit()) or measures it.
    int fd() const { return fd_.get(); }
    const std::filesystem::path& temporaryPath() const { return temporary_; }
    const std::filesystem::path& destination() const { return destination_; }

private:
    std::filesystem::path destination_;
    std::filesystem::path temporary_;
    FileDescriptor fd_;
    bool synced_ = false;
    bool committed_ = false;
};

// Writes `contents` to `file` through an AtomicFile: mode 0600, durable once it returns. Throws
// std::system_error (EEXIST with `keepExisting` when the file exists); a failure leaves `file` as it was.
void writeFileAtomically(const std::filesystem::path& file, std::string_view contents,
                         AtomicFile::Placement placement = AtomicFile::Placement::replace);

}  // namespace tw
