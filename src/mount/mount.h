#pragma once
// A mounted domain: the libfuse session over a MountFilesystem, served by libfuse's multithreaded loop.

#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

#include "mount/mount_filesystem.h"
#include "platform/file_descriptor.h"

namespace tw::mount {

// The mount cannot even be tried: the mount point is not an empty folder, or there is no FUSE device.
struct MountRefused : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Whether `name` can name a space (in file names, and in the mount's source): 1 to 64 letters, digits, '.',
// '_' or '-', the first not a '.'.
bool isSpaceName(const std::string& name);
// The mount table's source of a space's mount: this, then its name (MountSettings::space) when it is one.
inline constexpr const char* mountSourcePrefix = "tidewright:";

// Whether the file or folder `path` (or, when it does not exist, the folder it would be in) lies on a mount
// of this program: its device is one the mount table lists with the type "fuse.tidewright".
bool isOnMount(const std::filesystem::path& path);

// Throws MountRefused with one line for the user.
void checkMountable(const std::filesystem::path& mountpoint,
                    const std::filesystem::path& device = "/dev/fuse");

// Splits -o OPTIONS: uid=, gid= and umask= (octal) are read into `settings`, the rest kept for libfuse.
// Throws MountRefused on a value that cannot be read.
void applyMountOptions(const std::string& options, MountSettings& settings);

class Mount {
public:
    // Mounts at settings.mountpoint (checked first: MountRefused); throws std::runtime_error when libfuse
    // cannot make the session or mount it. `signals`: SIGINT, SIGTERM and SIGHUP end serve().
    Mount(std::shared_ptr<host::ReplicatedExtension> extension, MountSettings settings, bool signals = false);
    // Unmounts (lazily: open files keep the mount alive until closed) when still mounted, and waits for
    // the loop of serveInBackground().
    ~Mount();
    Mount(const Mount&) = delete;
    Mount& operator=(const Mount&) = delete;

    MountFilesystem& filesystem() { return *filesystem_; }

    // Serves requests until the mount goes away (fusermount3 -u, unmount()) or a signal ends it; then
    // unmounts. Returns 0, or the loop's error.
    int serve();
    void serveInBackground();
    // Detaches the mount from the tree (as fusermount3 -u -z), which ends serve() once no file is open.
    void unmount();

private:
    FileDescriptor cacheClaim_;  // held until the filesystem is gone
    std::unique_ptr<MountFilesystem> filesystem_;
    fuse_session* session_ = nullptr;
    bool signals_ = false;
    bool mounted_ = false;
    std::filesystem::path mountpoint_;
    std::thread loop_;
};

// Tells systemd (when it started us with a notification socket) `state`, e.g. "READY=1". Written here in a
// few lines rather than taken from libsystemd: one datagram to $NOTIFY_SOCKET is the whole protocol.
void notifySystemd(const std::string& state);

}  // namespace tw::mount
