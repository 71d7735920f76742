// The FUSE request handlers of MountFilesystem: each turns a request into calls on the filesystem's parts
// (catalog, content cache, open handles) and one reply.
#include <fcntl.h>
#include <sys/statvfs.h>

#include <algorithm>
#include <cerrno>

#include "mount/mount_errors.h"
#include "mount/mount_filesystem.h"
#include "mount/mount_log.h"

namespace tw::mount {
namespace {

// The change feed tells the kernel what changed, so what it caches may stay long.
constexpr double cacheSeconds = 3600;

// What a plain listing says of an entry that has no inode yet (as libfuse's own high-level layer does).
constexpr ino_t unknownInode = 0xffffffff;

// The largest read and write the kernel sends (the max_read mount option says the same).
constexpr unsigned maxRequest = 1 << 20;

// What each file answers of its changes: "uploaded", "pending", "uploading", "failed", "local-only", or
// "pinned" once a pinned file with none is wholly downloaded.
constexpr std::string_view stateAttribute = "user.tidewright.state";
// "1" on an item pinned (itself or through a folder), absent otherwise; set and removed to pin and unpin.
constexpr std::string_view pinnedAttribute = "user.tidewright.pinned";

// An xattr's value, or a list of names, answered as getxattr(2) and listxattr(2) do: its size alone when
// the caller gives no room.
void replyAttribute(fuse_req_t request, std::string_view value, size_t size) {
    if (size == 0) return (void)fuse_reply_xattr(request, value.size());
    if (size < value.size()) return (void)fuse_reply_err(request, ERANGE);
    fuse_reply_buf(request, value.data(), value.size());
}

MountFilesystem& self(fuse_req_t request) {
    return *static_cast<MountFilesystem*>(fuse_req_userdata(request));
}

void replyError(fuse_req_t request) {
    fuse_reply_err(request, errnoFor(std::current_exception()));
}

void interrupted(fuse_req_t, void* stop) {
    static_cast<std::stop_source*>(stop)->request_stop();
}

}  // namespace

struct MountFilesystem::Handlers {
    using Id = host::ItemIdentifier;

    static void init(void*, fuse_conn_info* connection) {
        // Large requests, and reads spliced from the cache file's descriptor without a copy.
        connection->max_readahead = maxRequest;
        connection->max_read = maxRequest;  // as the max_read mount option says
        connection->max_write = maxRequest;
        // O_TRUNC comes with the open, so a truncated file is never fetched first.
        for (const unsigned capability : {FUSE_CAP_SPLICE_WRITE, FUSE_CAP_SPLICE_MOVE, FUSE_CAP_READDIRPLUS,
                                          FUSE_CAP_ASYNC_READ, FUSE_CAP_ATOMIC_O_TRUNC})
            if (connection->capable & capability) connection->want |= capability;
        connection->want &= ~FUSE_CAP_READDIRPLUS_AUTO;  // plus whenever the kernel asks
    }

    static fuse_entry_param entryParam(const MountFilesystem& fs, const ItemCatalog::Entry& entry) {
        fuse_entry_param param{};
        param.ino = entry.inode;
        param.attr = fs.attributesOf(entry.record, entry.inode);
        param.attr_timeout = cacheSeconds;
        param.entry_timeout = cacheSeconds;
        return param;
    }

    static void lookup(fuse_req_t request, fuse_ino_t parent, const char* name) try {
        auto& fs = self(request);
        const auto folder = fs.folderAt(parent);
        const auto found = fs.catalog_.childNamed(folder, name, fs.deadline());
        const auto entry = found ? fs.catalog_.lookUp(*found) : std::nullopt;
        fuse_entry_param param{};
        if (entry) {
            param = entryParam(fs, *entry);
        } else {
            param.entry_timeout = cacheSeconds;  // a miss, kept until the feed says otherwise
        }
        if (fuse_reply_entry(request, &param) != 0 && entry) fs.catalog_.forget(entry->inode, 1);
    } catch (...) {
        replyError(request);
    }

    static void forget(fuse_req_t request, fuse_ino_t inode, std::uint64_t lookups) {
        self(request).catalog_.forget(inode, lookups);
        fuse_reply_none(request);
    }

    static void forgetMulti(fuse_req_t request, size_t count, fuse_forget_data* forgets) {
        auto& fs = self(request);
        for (size_t i = 0; i < count; ++i)
            fs.catalog_.forget(forgets[i].ino, forgets[i].nlookup);
        fuse_reply_none(request);
    }

    static void getattr(fuse_req_t request, fuse_ino_t inode, fuse_file_info*) {
        auto& fs = self(request);
        const auto found = fs.catalog_.find(inode);
        if (!found) return (void)fuse_reply_err(request, ENOENT);
        const auto attributes = fs.attributesOf(found->record, inode);
        fuse_reply_attr(request, &attributes, cacheSeconds);
    }

    static void opendir(fuse_req_t request, fuse_ino_t inode, fuse_file_info* info) try {
        auto& fs = self(request);
        const auto folder = fs.folderAt(inode);
        auto snapshot = std::make_shared<OpenFolder>();
        snapshot->entries.push_back({".", {}, S_IFDIR});
        snapshot->entries.push_back({"..", {}, S_IFDIR});
        for (auto& child : fs.catalog_.children(folder, fs.deadline())) {
            const mode_t type = child.isFolder ? S_IFDIR : child.isLink ? S_IFLNK : S_IFREG;
            snapshot->entries.push_back({std::move(child.name), std::move(child.identifier), type});
        }
        info->fh = fs.folders_.add(std::move(snapshot));
        if (fuse_reply_open(request, info) != 0) fs.folders_.remove(info->fh);
    } catch (...) {
        replyError(request);
    }

    static void readdir(fuse_req_t request, fuse_ino_t, size_t size, off_t offset, fuse_file_info* info,
                        bool plus) {
        auto& fs = self(request);
        const auto snapshot = fs.folders_.find(info->fh);
        if (!snapshot) return (void)fuse_reply_err(request, EBADF);
        std::vector<char> buffer(size);
        size_t used = 0;
        for (auto next = static_cast<size_t>(std::max<off_t>(offset, 0)); next < snapshot->entries.size();
             ++next) {
            const auto& entry = snapshot->entries[next];
            char* at = buffer.data() + used;
            const auto nextOffset = static_cast<off_t>(next + 1);
            size_t needed;
            if (!plus) {
                struct stat attributes {};
                // No inode is made for an entry the kernel has not looked up: it would never be forgotten.
                attributes.st_ino = entry.identifier.empty()
                                        ? FUSE_ROOT_ID
                                        : fs.catalog_.knownInode(entry.identifier).value_or(unknownInode);
                attributes.st_mode = entry.type;
                needed =
                    fuse_add_direntry(request, at, size - used, entry.name.c_str(), &attributes, nextOffset);
            } else if (const auto found =
                           entry.identifier.empty() ? std::nullopt : fs.catalog_.lookUp(entry.identifier)) {
                // Counted as a lookup, and the count given back when it does not fit: the kernel learns of
                // no entry that does not.
                auto param = entryParam(fs, *found);
                needed =
                    fuse_add_direntry_plus(request, at, size - used, entry.name.c_str(), &param, nextOffset);
                if (needed > size - used) fs.catalog_.forget(found->inode, 1);
            } else {
                fuse_entry_param none{};
                none.attr.st_ino = FUSE_ROOT_ID;
                none.attr.st_mode = S_IFDIR;
                needed =
                    fuse_add_direntry_plus(request, at, size - used, entry.name.c_str(), &none, nextOffset);
            }
            if (needed > size - used) break;
            used += needed;
        }
        fuse_reply_buf(request, buffer.data(), used);
    }

    static void readdirPlain(fuse_req_t request, fuse_ino_t inode, size_t size, off_t offset,
                             fuse_file_info* info) {
        readdir(request, inode, size, offset, info, false);
    }
    static void readdirPlus(fuse_req_t request, fuse_ino_t inode, size_t size, off_t offset,
                            fuse_file_info* info) {
        readdir(request, inode, size, offset, info, true);
    }

    static void releasedir(fuse_req_t request, fuse_ino_t, fuse_file_info* info) {
        self(request).folders_.remove(info->fh);
        fuse_reply_err(request, 0);
    }

    static void open(fuse_req_t request, fuse_ino_t inode, fuse_file_info* info) try {
        auto& fs = self(request);
        std::stop_source stop;
        fuse_req_interrupt_func(request, interrupted, &stop);
        std::shared_ptr<OpenFile> file;
        int error = 0;
        try {
            file = fs.openFile(inode, info->flags, stop.get_token());
        } catch (...) {
            error = errnoFor(std::current_exception());
        }
        fuse_req_interrupt_func(request, nullptr, nullptr);
        if (error) return (void)fuse_reply_err(request, error);
        reply(request, fs, std::move(file), info);
    } catch (...) {
        replyError(request);
    }

    // Answers an open (or a create's open) of `file`.
    static void reply(fuse_req_t request, MountFilesystem& fs, std::shared_ptr<OpenFile> file,
                      fuse_file_info* info, const fuse_entry_param* created = nullptr) {
        if (!file->contents) {
            info->direct_io = 1;  // generated: its length may differ from what getattr said before
        } else {
            // The inode stands for this content version alone (a new one gets a fresh inode), or for the
            // local file that every handle writes through the kernel: every page it holds is right.
            info->keep_cache = 1;
        }
        const bool writable = file->writable && file->local;
        const auto local = file->local;
        info->fh = fs.files_.add(std::move(file));
        const int replied =
            created ? fuse_reply_create(request, created, info) : fuse_reply_open(request, info);
        if (replied != 0) {
            // The program is gone: the kernel never releases what it never heard of.
            fs.files_.remove(info->fh);
            if (writable) fs.writeBack_->closed(*local);
            if (created) fs.catalog_.forget(created->ino, 1);
        }
    }

    static void read(fuse_req_t request, fuse_ino_t, size_t size, off_t offset, fuse_file_info* info) {
        auto& fs = self(request);
        // Held until the reply is written: a release on another thread does not close the file under it.
        const auto file = fs.files_.find(info->fh);
        if (!file) return (void)fuse_reply_err(request, EBADF);
        if (file->draft) {
            std::scoped_lock lock(file->draft->mutex);
            const auto& bytes = file->draft->bytes;
            const auto from = std::min<size_t>(static_cast<size_t>(offset), bytes.size());
            return (void)fuse_reply_buf(request, bytes.data() + from, std::min(size, bytes.size() - from));
        }
        if (!file->contents) {
            const auto from = std::min<size_t>(static_cast<size_t>(offset), file->text.size());
            const auto length = std::min(size, file->text.size() - from);
            return (void)fuse_reply_buf(request, file->text.data() + from, length);
        }
        // A local file's size moves with its writers.
        const auto fileSize = file->local ? file->contents->size() : file->size;
        if (offset >= fileSize) return (void)fuse_reply_buf(request, nullptr, 0);
        const auto length = std::min<std::int64_t>(static_cast<std::int64_t>(size), fileSize - offset);
        std::stop_source stop;
        fuse_req_interrupt_func(request, interrupted, &stop);
        const auto deadline = fs.deadline();
        const auto fetch = [&](host::ByteRange wanted, std::stop_token cancelled) {
            return fs.fetchContents(file->identifier, file->version, wanted, cancelled, deadline);
        };
        // Until the reply is written: eviction leaves these bytes in the file.
        const auto held = file->contents->hold(offset, length);
        std::int64_t present = 0;
        std::string uncached;
        int error = 0;
        try {
            try {
                present = file->contents->ensure(offset, length, fetch, stop.get_token(), deadline);
            } catch (const std::system_error& full) {
                if (full.code() != std::errc::no_space_on_device) throw;
                // The cache is full of what it cannot evict: the bytes come straight from a fetch.
                uncached = fs.readUncached(*file, offset, length, stop.get_token(), deadline);
            }
        } catch (...) {
            error = errnoFor(std::current_exception());
        }
        // Waits for an interrupt callback under way: `stop` must outlive it.
        fuse_req_interrupt_func(request, nullptr, nullptr);
        if (error != 0) return (void)fuse_reply_err(request, error);
        if (!uncached.empty()) return (void)fuse_reply_buf(request, uncached.data(), uncached.size());
        fuse_bufvec data = FUSE_BUFVEC_INIT(static_cast<size_t>(std::min(present, length)));
        data.buf[0].flags = static_cast<fuse_buf_flags>(FUSE_BUF_IS_FD | FUSE_BUF_FD_SEEK);
        data.buf[0].fd = file->contents->fd();
        data.buf[0].pos = offset;
        fuse_reply_data(request, &data, FUSE_BUF_SPLICE_MOVE);
    }

    static void writeBuf(fuse_req_t request, fuse_ino_t, fuse_bufvec* in, off_t offset,
                         fuse_file_info* info) {
        auto& fs = self(request);
        const auto file = fs.files_.find(info->fh);
        if (!file || !file->writable) return (void)fuse_reply_err(request, EBADF);
        const size_t size = fuse_buf_size(in);
        if (file->draft) return writeDraft(request, fs, *file, in, offset);
        auto& local = *file->local;
        ssize_t written;
        {
            std::scoped_lock writing(local.writing);
            // What grows the file must fit in the cache, which holds it until the service has it.
            const auto growth = offset + static_cast<std::int64_t>(size) - local.contents().size();
            const auto room = growth > 0 ? local.contents().makeRoom(growth) : std::optional(CacheHold());
            if (!room) return (void)fuse_reply_err(request, ENOSPC);
            fuse_bufvec out = FUSE_BUFVEC_INIT(size);
            out.buf[0].flags = static_cast<fuse_buf_flags>(FUSE_BUF_IS_FD | FUSE_BUF_FD_SEEK);
            out.buf[0].fd = local.contents().fd();
            out.buf[0].pos = offset;
            written = fuse_buf_copy(&out, in, FUSE_BUF_NO_SPLICE);
            if (written > 0) try {
                    fs.writeBack_->wrote(local, offset, written);
                } catch (...) {
                    return replyError(request);
                }
        }
        if (written < 0) return (void)fuse_reply_err(request, static_cast<int>(-written));
        fuse_reply_write(request, static_cast<size_t>(written));
    }

    static void writeDraft(fuse_req_t request, MountFilesystem& fs, const OpenFile& file, fuse_bufvec* in,
                           off_t offset) {
        const size_t size = fuse_buf_size(in);
        if (offset < 0 || offset > (1 << 20)) return (void)fuse_reply_err(request, EFBIG);  // a .trashinfo
        std::scoped_lock lock(file.draft->mutex);
        auto& bytes = file.draft->bytes;
        if (bytes.size() < static_cast<size_t>(offset) + size)
            bytes.resize(static_cast<size_t>(offset) + size);
        fuse_bufvec out = FUSE_BUFVEC_INIT(size);
        out.buf[0].mem = bytes.data() + offset;
        const auto written = fuse_buf_copy(&out, in, FUSE_BUF_NO_SPLICE);
        if (written < 0) return (void)fuse_reply_err(request, static_cast<int>(-written));
        fs.catalog_.updateLocal(file.identifier, static_cast<std::int64_t>(bytes.size()), std::nullopt);
        fuse_reply_write(request, static_cast<size_t>(written));
    }

    // A close (flush) or an fsync of a written file: it returns once the changes are on disk and journaled.
    static void commit(fuse_req_t request, fuse_file_info* info) {
        auto& fs = self(request);
        const auto file = fs.files_.find(info->fh);
        if (!file) return (void)fuse_reply_err(request, EBADF);
        try {
            if (file->local && file->writable) fs.writeBack_->commit(*file->local);
        } catch (...) {
            return replyError(request);
        }
        fuse_reply_err(request, 0);
    }
    static void flush(fuse_req_t request, fuse_ino_t, fuse_file_info* info) { commit(request, info); }
    static void fsync(fuse_req_t request, fuse_ino_t, int, fuse_file_info* info) { commit(request, info); }

    static void release(fuse_req_t request, fuse_ino_t, fuse_file_info* info) {
        auto& fs = self(request);
        if (const auto file = fs.files_.find(info->fh); file && file->writable && file->local) {
            try {
                fs.writeBack_->commit(*file->local);  // written through a mapping after the last flush
            } catch (const std::exception& e) {
                mountLog().error(std::string("changes written at the close of a file were not saved: ") +
                                 e.what());
            }
            fs.writeBack_->closed(*file->local);
        }
        fs.files_.remove(info->fh);
        fuse_reply_err(request, 0);
    }

    static void create(fuse_req_t request, fuse_ino_t parent, const char* name, mode_t mode,
                       fuse_file_info* info) try {
        auto& fs = self(request);
        if (!S_ISREG(mode)) return (void)fuse_reply_err(request, EPERM);
        auto [entry, file] = fs.createFile(parent, name, info->flags);
        const auto param = entryParam(fs, entry);
        reply(request, fs, std::move(file), info, &param);
    } catch (...) {
        replyError(request);
    }

    static void mkdir(fuse_req_t request, fuse_ino_t parent, const char* name, mode_t) try {
        auto& fs = self(request);
        const auto param = entryParam(fs, fs.makeFolder(parent, name));
        if (fuse_reply_entry(request, &param) != 0) fs.catalog_.forget(param.ino, 1);
    } catch (...) {
        replyError(request);
    }

    static void symlink(fuse_req_t request, const char* target, fuse_ino_t parent, const char* name) try {
        auto& fs = self(request);
        const auto param = entryParam(fs, fs.makeLink(parent, name, target));
        if (fuse_reply_entry(request, &param) != 0) fs.catalog_.forget(param.ino, 1);
    } catch (...) {
        replyError(request);
    }

    static void readlink(fuse_req_t request, fuse_ino_t inode) try {
        fuse_reply_readlink(request, self(request).linkTarget(inode).c_str());
    } catch (...) {
        replyError(request);
    }

    static void unlink(fuse_req_t request, fuse_ino_t parent, const char* name) try {
        self(request).removeEntry(parent, name, false);
        fuse_reply_err(request, 0);
    } catch (...) {
        replyError(request);
    }

    static void rmdir(fuse_req_t request, fuse_ino_t parent, const char* name) try {
        self(request).removeEntry(parent, name, true);
        fuse_reply_err(request, 0);
    } catch (...) {
        replyError(request);
    }

    static void rename(fuse_req_t request, fuse_ino_t parent, const char* name, fuse_ino_t newParent,
                       const char* newName, unsigned flags) try {
        self(request).renameEntry(parent, name, newParent, newName, flags);
        fuse_reply_err(request, 0);
    } catch (...) {
        replyError(request);
    }

    static void setattr(fuse_req_t request, fuse_ino_t inode, struct stat* wanted, int toSet,
                        fuse_file_info* info) try {
        auto& fs = self(request);
        const auto file = info ? fs.files_.find(info->fh) : nullptr;
        const auto record = fs.setAttributes(inode, *wanted, toSet, file.get());
        const auto attributes = fs.attributesOf(record, inode);
        fuse_reply_attr(request, &attributes, cacheSeconds);
    } catch (...) {
        replyError(request);
    }

    static void fallocate(fuse_req_t request, fuse_ino_t inode, int mode, off_t offset, off_t length,
                          fuse_file_info* info) try {
        auto& fs = self(request);
        // Room for bytes to come: a growth of the file unless it keeps its size; holes are not punched.
        if (mode & ~FALLOC_FL_KEEP_SIZE) return (void)fuse_reply_err(request, EOPNOTSUPP);
        const auto file = fs.files_.find(info->fh);
        if (!file || !file->writable) return (void)fuse_reply_err(request, EBADF);
        std::int64_t size;
        if (file->draft) {
            std::scoped_lock lock(file->draft->mutex);
            size = static_cast<std::int64_t>(file->draft->bytes.size());
        } else {
            size = file->contents->size();
        }
        if (!(mode & FALLOC_FL_KEEP_SIZE) && offset + length > size) {
            struct stat wanted {};
            wanted.st_size = offset + length;
            fs.setAttributes(inode, wanted, FUSE_SET_ATTR_SIZE, file.get());
        }
        fuse_reply_err(request, 0);
    } catch (...) {
        replyError(request);
    }

    static void getxattr(fuse_req_t request, fuse_ino_t inode, const char* name, size_t size) try {
        auto& fs = self(request);
        std::string_view value;
        if (name == stateAttribute) {
            if (const auto state = fs.stateOf(inode)) value = nameOf(*state);
        } else if (name == pinnedAttribute && fs.pinnedAt(inode)) {
            value = "1";
        }
        if (value.empty()) return (void)fuse_reply_err(request, ENODATA);
        replyAttribute(request, value, size);
    } catch (...) {
        replyError(request);
    }

    static void listxattr(fuse_req_t request, fuse_ino_t inode, size_t size) try {
        auto& fs = self(request);
        std::string names;
        if (fs.stateOf(inode)) (names += stateAttribute) += '\0';
        if (fs.pinnedAt(inode)) (names += pinnedAttribute) += '\0';
        replyAttribute(request, names, size);
    } catch (...) {
        replyError(request);
    }

    static void setxattr(fuse_req_t request, fuse_ino_t inode, const char* name, const char* value,
                         size_t size, int flags) try {
        // The service keeps no xattrs: the pin is the one there is to set.
        if (name != pinnedAttribute) return (void)fuse_reply_err(request, ENOTSUP);
        if (std::string_view(value, size) != "1") return (void)fuse_reply_err(request, EINVAL);
        self(request).pinAt(inode, true, flags);
        fuse_reply_err(request, 0);
    } catch (...) {
        replyError(request);
    }

    static void removexattr(fuse_req_t request, fuse_ino_t inode, const char* name) try {
        if (name != pinnedAttribute) return (void)fuse_reply_err(request, ENOTSUP);
        self(request).pinAt(inode, false, 0);
        fuse_reply_err(request, 0);
    } catch (...) {
        replyError(request);
    }

    static void statfs(fuse_req_t request, fuse_ino_t) {
        // The room there is for files written here: the cache folder's.
        struct statvfs answer {};
        if (::statvfs(self(request).settings_.cacheFolder.c_str(), &answer) != 0) {
            answer = {};
            answer.f_bsize = 4096;
            answer.f_frsize = 4096;
        }
        answer.f_namemax = 255;
        fuse_reply_statfs(request, &answer);
    }
};

const fuse_lowlevel_ops& MountFilesystem::operations() {
    static const fuse_lowlevel_ops table = [] {
        using H = Handlers;
        fuse_lowlevel_ops ops{};
        ops.init = H::init;
        ops.lookup = H::lookup;
        ops.forget = H::forget;
        ops.forget_multi = H::forgetMulti;
        ops.getattr = H::getattr;
        ops.opendir = H::opendir;
        ops.readdir = H::readdirPlain;
        ops.readdirplus = H::readdirPlus;
        ops.releasedir = H::releasedir;
        ops.open = H::open;
        ops.read = H::read;
        ops.release = H::release;
        ops.statfs = H::statfs;
        ops.write_buf = H::writeBuf;
        ops.flush = H::flush;
        ops.fsync = H::fsync;
        ops.create = H::create;
        ops.mkdir = H::mkdir;
        ops.unlink = H::unlink;
        ops.rmdir = H::rmdir;
        ops.rename = H::rename;
        ops.setattr = H::setattr;
        ops.fallocate = H::fallocate;
        ops.getxattr = H::getxattr;
        ops.listxattr = H::listxattr;
        // Device files and hard links: the service keeps none of them.
        ops.mknod = [](fuse_req_t r, fuse_ino_t, const char*, mode_t, dev_t) { fuse_reply_err(r, EPERM); };
        ops.link = [](fuse_req_t r, fuse_ino_t, fuse_ino_t, const char*) { fuse_reply_err(r, EPERM); };
        ops.symlink = H::symlink;
        ops.readlink = H::readlink;
        ops.setxattr = H::setxattr;
        ops.removexattr = H::removexattr;
        return ops;
    }();
    return table;
}

}  // namespace tw::mount
