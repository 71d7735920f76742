#include "mount/mount.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <system_error>
#include <vector>

#include "mount/mount_log.h"
#include "platform/private_folder.h"

namespace tw::mount {
namespace {

// The kernel reads a FUSE mount's files ahead by at most its devices' default, 128 KiB, whatever the
// filesystem asks at init; only the device's sysfs knob raises it (root may write it). 512 KiB requests still
// reach the filesystem spliced: libfuse splices a reply that fits its pipe (1 MiB, header included).
constexpr int readAheadKiB = 512;

// A path as the mount table writes it: space, tab, newline and backslash as octal escapes.
std::string unescapeMountPath(const std::string& text) {
    std::string path;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto octal = [&](std::size_t at) {
            return at < text.size() && text[at] >= '0' && text[at] <= '7';
        };
        if (text[i] == '\\' && octal(i + 1) && octal(i + 2) && octal(i + 3)) {
            path +=
                static_cast<char>((text[i + 1] - '0') * 64 + (text[i + 2] - '0') * 8 + (text[i + 3] - '0'));
            i += 3;
        } else {
            path += text[i];
        }
    }
    return path;
}

// Raises the kernel's read-ahead on the mount at `mountpoint` (an absolute path without links), when
// allowed. Its device number comes from the mount table: a stat() of the mount point would be a request to
// the filesystem before it serves any.
// Locks FOLDER.lock beside the cache folder for as long as the mount runs: its files are one mount's to
// change (two mounts of one space with two runtime folders would otherwise share them).
FileDescriptor claimCacheFolder(const std::filesystem::path& folder) {
    makePrivateFolder(folder);
    auto path = folder;
    path += ".lock";
    FileDescriptor fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!fd) throw std::system_error(errno, std::generic_category(), "cannot open " + path.string());
    while (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
        if (errno == EINTR) continue;
        if (errno == EWOULDBLOCK)
            throw MountRefused("the cache folder " + folder.string() + " is used by another mount");
        throw std::system_error(errno, std::generic_category(), "cannot lock " + path.string());
    }
    return fd;
}

void raiseReadAhead(const std::filesystem::path& mountpoint) {
    std::ifstream table("/proc/self/mountinfo");
    std::string device;
    for (std::string line; std::getline(table, line);) {
        std::istringstream fields(line);
        std::string id, parent, numbers, root, point;
        if ((fields >> id >> parent >> numbers >> root >> point) && unescapeMountPath(point) == mountpoint)
            device = numbers;  // the last one: the mount on top
    }
    if (device.empty()) return;
    std::ofstream("/sys/class/bdi/" + device + "/read_ahead_kb") << readAheadKiB;
}

}  // namespace

bool isOnMount(const std::filesystem::path& path) {
    struct stat file {};
    if (::stat(path.c_str(), &file) != 0 && ::stat(path.parent_path().c_str(), &file) != 0) return false;
    const auto device = std::to_string(major(file.st_dev)) + ":" + std::to_string(minor(file.st_dev));
    std::ifstream table("/proc/self/mountinfo");
    for (std::string line; std::getline(table, line);) {
        std::istringstream fields(line);
        std::string id, parent, numbers;
        if (!(fields >> id >> parent >> numbers) || numbers != device) continue;
        // The optional fields end with "-"; the type comes next.
        const auto separator = line.find(" - ");
        if (separator == std::string::npos) continue;
        std::istringstream rest(line.substr(separator + 3));
        std::string type;
        if (rest >> type && type == "fuse.tidewright") return true;
    }
    return false;
}

bool isSpaceName(const std::string& name) {
    return !name.empty() && name.size() <= 64 && name.front() != '.' &&
           std::all_of(name.begin(), name.end(),
                       [](unsigned char c) { return std::isalnum(c) || c == '.' || c == '_' || c == '-'; });
}

void checkMountable(const std::filesystem::path& mountpoint, const std::filesystem::path& device) {
    std::error_code error;
    if (!std::filesystem::is_directory(mountpoint, error) || !std::filesystem::is_empty(mountpoint, error) ||
        error)
        throw MountRefused("the mount point " + mountpoint.string() + " is not an empty folder");
    if (::access(device.c_str(), R_OK | W_OK) != 0)
        throw MountRefused(device.string() + " cannot be opened (" + std::strerror(errno) +
                           "): FUSE is not available here");
}

void applyMountOptions(const std::string& options, MountSettings& settings) {
    std::stringstream list(options);
    for (std::string option; std::getline(list, option, ',');) {
        if (option.empty()) continue;
        const auto equals = option.find('=');
        const auto key = option.substr(0, equals);
        const auto value = equals == std::string::npos ? std::string() : option.substr(equals + 1);
        if (key != "uid" && key != "gid" && key != "umask") {
            settings.fuseOptions.push_back(option);
            continue;
        }
        char* end = nullptr;
        errno = 0;
        const unsigned long number = std::strtoul(value.c_str(), &end, key == "umask" ? 8 : 10);
        if (value.empty() || *end != '\0' || errno != 0 || value[0] == '-' ||
            (key == "umask" && number > 0777) || number > 0xFFFFFFFEul)
            throw MountRefused("-o " + option + ": not a valid value");
        if (key == "uid") settings.uid = static_cast<uid_t>(number);
        if (key == "gid") settings.gid = static_cast<gid_t>(number);
        if (key == "umask") settings.umask = static_cast<mode_t>(number);
    }
}

Mount::Mount(std::shared_ptr<host::ReplicatedExtension> extension, MountSettings settings, bool signals)
    : signals_(signals), mountpoint_(settings.mountpoint) {
    checkMountable(mountpoint_);
    // The mount table's source names the space.
    const auto& space = settings.space;
    std::string options =
        "fsname=" + (isSpaceName(space) ? mountSourcePrefix + space : std::string("tidewright")) +
        ",subtype=tidewright,default_permissions,max_read=1048576";
    for (const auto& option : settings.fuseOptions)
        options += "," + option;
    cacheClaim_ = claimCacheFolder(settings.cacheFolder);
    filesystem_ = std::make_unique<MountFilesystem>(std::move(extension), std::move(settings));
    std::vector<std::string> words = {"tidewright", "-o", options};
    std::vector<char*> argv;
    for (auto& word : words)
        argv.push_back(word.data());
    fuse_args args = FUSE_ARGS_INIT(static_cast<int>(argv.size()), argv.data());
    const auto& operations = MountFilesystem::operations();
    session_ = fuse_session_new(&args, &operations, sizeof operations, filesystem_.get());
    fuse_opt_free_args(&args);  // what libfuse added to them
    if (!session_) throw std::runtime_error("libfuse refused the options " + options);
    if (signals_ && fuse_set_signal_handlers(session_) != 0) {
        fuse_session_destroy(session_);
        throw std::runtime_error("signal handlers cannot be installed");
    }
    std::error_code ignored;
    const auto resolved = std::filesystem::canonical(mountpoint_, ignored);
    if (fuse_session_mount(session_, mountpoint_.c_str()) != 0) {
        if (signals_) fuse_remove_signal_handlers(session_);
        fuse_session_destroy(session_);
        throw std::runtime_error("cannot mount on " + mountpoint_.string());
    }
    mounted_ = true;
    raiseReadAhead(resolved);
    filesystem_->start(session_);
}

Mount::~Mount() {
    if (loop_.joinable()) {
        unmount();
        loop_.join();
    }
    filesystem_->stop();
    if (mounted_) fuse_session_unmount(session_);
    if (signals_) fuse_remove_signal_handlers(session_);
    fuse_session_destroy(session_);
}

int Mount::serve() {
    fuse_loop_config* config = fuse_loop_cfg_create();
    fuse_loop_cfg_set_clone_fd(config, 1);
    fuse_loop_cfg_set_max_threads(config, 16);
    const int result = fuse_session_loop_mt(session_, config);
    fuse_loop_cfg_destroy(config);
    filesystem_->stop();
    if (mounted_) {
        fuse_session_unmount(session_);
        mounted_ = false;
    }
    return result < 0 ? result : 0;
}

void Mount::serveInBackground() {
    loop_ = std::thread([this] { serve(); });
}

void Mount::unmount() {
    if (::umount2(mountpoint_.c_str(), MNT_DETACH) == 0 || errno == EINVAL) return;
    // Not root: the setuid helper may.
    const pid_t child = ::fork();
    if (child == 0) {
        ::execlp("fusermount3", "fusermount3", "-u", "-z", "-q", mountpoint_.c_str(), nullptr);
        ::_exit(127);
    }
    if (child > 0) ::waitpid(child, nullptr, 0);
}

void notifySystemd(const std::string& state) {
    const char* socketPath = std::getenv("NOTIFY_SOCKET");
    if (!socketPath || (socketPath[0] != '/' && socketPath[0] != '@')) return;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const size_t length = std::strlen(socketPath);
    if (length >= sizeof address.sun_path) return;
    std::memcpy(address.sun_path, socketPath, length);
    if (address.sun_path[0] == '@') address.sun_path[0] = '\0';  // an abstract socket
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return;
    ::sendto(fd, state.data(), state.size(), MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&address),
             static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length));
    ::close(fd);
}

}  // namespace tw::mount
