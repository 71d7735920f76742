// A trivial read-only FUSE passthrough of one source folder, the reference for the mount's warm read in
// bench/mount.sh: what any FUSE 3.14 filesystem can do on this machine without kernel passthrough. It serves
// reads as the mount does (src/mount): the same mount options and init capabilities (1 MiB requests,
// splice), `keep_cache` on open, the multi-threaded loop with a cloned device descriptor per thread, and
// each read answered by `fuse_reply_data` from the source file's descriptor, so libfuse splices the bytes
// to the kernel without a copy. Lookups and attributes are kept by the kernel as long as the mount's.
//
//   passthrough_fs SOURCE MOUNTPOINT     serves in the foreground until unmounted (fusermount3 -u)
//
// Writes are refused (EROFS): the mount is read-only too.

#include <dirent.h>
#include <fcntl.h>
#include <fuse_lowlevel.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace {

// What the kernel may keep of an entry or its attributes, in seconds (the mount keeps them as long).
constexpr double cacheSeconds = 3600;
// The largest read the kernel sends; the max_read mount option says the same.
constexpr unsigned maxRequest = 1 << 20;

// An owned file descriptor, closed with its owner.
class Descriptor {
public:
    explicit Descriptor(int fd = -1) : fd_(fd) {}
    Descriptor(Descriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Descriptor& operator=(Descriptor&& other) noexcept {
        std::swap(fd_, other.fd_);
        return *this;
    }
    ~Descriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const { return fd_; }

private:
    int fd_;
};

// One source file or folder the kernel knows, held by an O_PATH descriptor. Its address is its inode number.
struct Node {
    Descriptor path;
    dev_t device = 0;
    ino_t inode = 0;
    std::uint64_t lookups = 0;  // guarded by Filesystem::mutex
};

// An open folder: its stream and the position the kernel last asked for. One thread at a time uses it (the
// kernel serialises reads of one open folder).
struct OpenFolder {
    ~OpenFolder() {
        if (stream) ::closedir(stream);
    }
    DIR* stream = nullptr;
    off_t offset = 0;
    dirent* pending = nullptr;  // read but not yet handed to the kernel
};

class Filesystem {
public:
    explicit Filesystem(Descriptor root) {
        struct stat status {};
        ::fstat(root.get(), &status);
        root_.path = std::move(root);
        root_.device = status.st_dev;
        root_.inode = status.st_ino;
    }

    Node& nodeOf(fuse_ino_t inode) {
        return inode == FUSE_ROOT_ID ? root_ : *reinterpret_cast<Node*>(static_cast<std::uintptr_t>(inode));
    }

    // The node of `status` (made when new), counted as looked up once more.
    fuse_ino_t remember(Descriptor path, const struct stat& status) {
        std::scoped_lock lock(mutex_);
        if (status.st_dev == root_.device && status.st_ino == root_.inode) return FUSE_ROOT_ID;
        auto& node = nodes_[{status.st_dev, status.st_ino}];
        if (!node) node = std::make_unique<Node>(Node{std::move(path), status.st_dev, status.st_ino});
        ++node->lookups;
        return static_cast<fuse_ino_t>(reinterpret_cast<std::uintptr_t>(node.get()));
    }

    void forget(fuse_ino_t inode, std::uint64_t count) {
        if (inode == FUSE_ROOT_ID) return;
        std::scoped_lock lock(mutex_);
        auto& node = nodeOf(inode);
        node.lookups -= std::min(count, node.lookups);
        if (node.lookups == 0) nodes_.erase({node.device, node.inode});
    }

private:
    Node root_;
    std::mutex mutex_;
    std::map<std::pair<dev_t, ino_t>, std::unique_ptr<Node>> nodes_;
};

Filesystem& self(fuse_req_t request) {
    return *static_cast<Filesystem*>(fuse_req_userdata(request));
}

// `path` of `node` as a path that open() takes: an O_PATH descriptor opens again through /proc.
std::string reopenable(const Node& node) {
    return "/proc/self/fd/" + std::to_string(node.path.get());
}

struct Handlers {
    static void init(void*, fuse_conn_info* connection) {
        connection->max_readahead = maxRequest;
        connection->max_read = maxRequest;
        for (const unsigned capability : {FUSE_CAP_SPLICE_WRITE, FUSE_CAP_SPLICE_MOVE, FUSE_CAP_ASYNC_READ})
            if (connection->capable & capability) connection->want |= capability;
    }

    static void lookup(fuse_req_t request, fuse_ino_t parent, const char* name) {
        auto& fs = self(request);
        Descriptor path(::openat(fs.nodeOf(parent).path.get(), name, O_PATH | O_NOFOLLOW | O_CLOEXEC));
        if (path.get() < 0) return (void)fuse_reply_err(request, errno);
        fuse_entry_param entry{};
        if (::fstatat(path.get(), "", &entry.attr, AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW) != 0)
            return (void)fuse_reply_err(request, errno);
        entry.attr_timeout = entry.entry_timeout = cacheSeconds;
        entry.ino = fs.remember(std::move(path), entry.attr);
        if (fuse_reply_entry(request, &entry) != 0) fs.forget(entry.ino, 1);
    }

    static void forget(fuse_req_t request, fuse_ino_t inode, std::uint64_t count) {
        self(request).forget(inode, count);
        fuse_reply_none(request);
    }

    static void getattr(fuse_req_t request, fuse_ino_t inode, fuse_file_info*) {
        struct stat status {};
        if (::fstatat(self(request).nodeOf(inode).path.get(), "", &status,
                      AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW) != 0)
            return (void)fuse_reply_err(request, errno);
        fuse_reply_attr(request, &status, cacheSeconds);
    }

    static void open(fuse_req_t request, fuse_ino_t inode, fuse_file_info* info) {
        if ((info->flags & O_ACCMODE) != O_RDONLY) return (void)fuse_reply_err(request, EROFS);
        const int fd = ::open(reopenable(self(request).nodeOf(inode)).c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) return (void)fuse_reply_err(request, errno);
        info->fh = static_cast<std::uint64_t>(fd);
        info->keep_cache = 1;
        if (fuse_reply_open(request, info) != 0) ::close(fd);
    }

    static void read(fuse_req_t request, fuse_ino_t, size_t size, off_t offset, fuse_file_info* info) {
        fuse_bufvec data = FUSE_BUFVEC_INIT(size);
        data.buf[0].flags = static_cast<fuse_buf_flags>(FUSE_BUF_IS_FD | FUSE_BUF_FD_SEEK);
        data.buf[0].fd = static_cast<int>(info->fh);
        data.buf[0].pos = offset;
        fuse_reply_data(request, &data, FUSE_BUF_SPLICE_MOVE);
    }

    static void release(fuse_req_t request, fuse_ino_t, fuse_file_info* info) {
        ::close(static_cast<int>(info->fh));
        fuse_reply_err(request, 0);
    }

    static void opendir(fuse_req_t request, fuse_ino_t inode, fuse_file_info* info) {
        const int fd =
            ::open(reopenable(self(request).nodeOf(inode)).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0) return (void)fuse_reply_err(request, errno);
        auto folder = std::make_unique<OpenFolder>();
        folder->stream = ::fdopendir(fd);
        if (!folder->stream) {
            const int error = errno;
            ::close(fd);
            return (void)fuse_reply_err(request, error);
        }
        info->fh = reinterpret_cast<std::uintptr_t>(folder.get());
        if (fuse_reply_open(request, info) == 0) folder.release();
    }

    static void readdir(fuse_req_t request, fuse_ino_t, size_t size, off_t offset, fuse_file_info* info) {
        auto& folder = *reinterpret_cast<OpenFolder*>(static_cast<std::uintptr_t>(info->fh));
        if (offset != folder.offset) {
            ::seekdir(folder.stream, offset);
            folder.offset = offset;
            folder.pending = nullptr;
        }
        std::vector<char> buffer(size);
        size_t used = 0;
        for (;;) {
            if (!folder.pending) {
                errno = 0;
                folder.pending = ::readdir(folder.stream);
                if (!folder.pending) {
                    if (errno != 0 && used == 0) return (void)fuse_reply_err(request, errno);
                    break;
                }
            }
            const dirent& entry = *folder.pending;
            struct stat status {};
            status.st_ino = entry.d_ino;
            status.st_mode = static_cast<mode_t>(entry.d_type << 12);
            const off_t next = ::telldir(folder.stream);
            const size_t needed =
                fuse_add_direntry(request, buffer.data() + used, size - used, entry.d_name, &status, next);
            if (needed > size - used) break;  // kept for the next call
            used += needed;
            folder.offset = next;
            folder.pending = nullptr;
        }
        fuse_reply_buf(request, buffer.data(), used);
    }

    static void releasedir(fuse_req_t request, fuse_ino_t, fuse_file_info* info) {
        delete reinterpret_cast<OpenFolder*>(static_cast<std::uintptr_t>(info->fh));
        fuse_reply_err(request, 0);
    }
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: passthrough_fs SOURCE MOUNTPOINT\n");
        return 2;
    }
    Descriptor root(::open(argv[1], O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (root.get() < 0) {
        std::perror(argv[1]);
        return 1;
    }
    Filesystem filesystem(std::move(root));

    fuse_lowlevel_ops operations{};
    operations.init = Handlers::init;
    operations.lookup = Handlers::lookup;
    operations.forget = Handlers::forget;
    operations.getattr = Handlers::getattr;
    operations.open = Handlers::open;
    operations.read = Handlers::read;
    operations.release = Handlers::release;
    operations.opendir = Handlers::opendir;
    operations.readdir = Handlers::readdir;
    operations.releasedir = Handlers::releasedir;

    std::vector<std::string> words = {
        "passthrough_fs", "-o",
        "fsname=passthrough,subtype=passthrough,default_permissions,max_read=1048576"};
    std::vector<char*> arguments;
    for (auto& word : words)
        arguments.push_back(word.data());
    fuse_args args = FUSE_ARGS_INIT(static_cast<int>(arguments.size()), arguments.data());
    fuse_session* session = fuse_session_new(&args, &operations, sizeof operations, &filesystem);
    fuse_opt_free_args(&args);
    if (!session) return 1;
    int result = 1;
    if (fuse_set_signal_handlers(session) == 0) {
        if (fuse_session_mount(session, argv[2]) == 0) {
            fuse_loop_config* config = fuse_loop_cfg_create();
            fuse_loop_cfg_set_clone_fd(config, 1);
            fuse_loop_cfg_set_max_threads(config, 16);
            result = fuse_session_loop_mt(session, config) < 0 ? 1 : 0;
            fuse_loop_cfg_destroy(config);
            fuse_session_unmount(session);
        }
        fuse_remove_signal_handlers(session);
    }
    fuse_session_destroy(session);
    return result;
}
