#pragma once
// The control channel of a running mount: a Unix stream socket on which `tidewright status` asks the mount
// of a domain what waits to be uploaded, and makes it upload now.
//
// Protocol: the client sends one line, "status" or "wait SECONDS" (a decimal number, fractions allowed);
// the server answers with one JSON object on one line and closes the connection. The answer is the mount's
// status (statusToJson) with "space" and "mountpoint" added, or {"error": TEXT} when the request cannot be
// read (nothing within the request timeout, not a request, too long) or the status cannot be taken. A
// "wait" makes the mount start every pending upload now and answers once nothing waits or SECONDS passed.

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "mount/mount_status.h"
#include "platform/file_descriptor.h"

namespace tw::mount {

// $XDG_RUNTIME_DIR/tidewright/DOMAIN.socket when XDG_RUNTIME_DIR is set and absolute, else
// stateFolder()/DOMAIN.socket.
std::filesystem::path controlSocketPath(const std::string& domain);

// Who answers on a control socket, in words for the user.
struct MountIdentity {
    std::string space;       // the space mounted: its service's address
    std::string mountpoint;  // where it is mounted
};

struct StatusAnswer {
    MountIdentity identity;
    MountStatus status;
};

// {"uploaded": BOOL, "reachable": BOOL, "offline": true (only while offline), "lastSync": ISO 8601 UTC to
//  the second or null, "cache": {"usedBytes", "limitBytes"},
//  "pinned": {"pins", "files", "pinnedBytes", "presentBytes", "complete", "lastError"},
//  "entries": [{"path", "state", "attempts", "lastError"}]}, in that order.
nlohmann::ordered_json statusToJson(const MountStatus& status);
// The inverse (lastSync to the second); throws std::runtime_error on an object that is not one.
MountStatus statusFromJson(const nlohmann::json& object);

// A control socket claimed for one domain: bound and listening, not served yet (a client that connects
// meanwhile waits for its answer). Claimed before the mount is made, so that a second mount of a space is
// refused before it mounts anything. Move-only; the socket file goes with it (unless another mount has
// replaced it since).
class ControlSocket {
public:
    // Claims controlSocketPath(domain): its folder made through makePrivateFolder, a socket file that a mount
    // which died left there (nothing accepts on it) replaced, the new one mode 0600. Claims of one folder
    // are made one at a time (a lock on the folder), so two mounts starting at once cannot both take it.
    // Throws MountRefused, with one line that names the space and its mount point when its answer says,
    // when another mount answers on it; std::system_error when the folder or the socket cannot be made.
    static ControlSocket claim(const std::string& domain);

    ControlSocket() = default;
    ControlSocket(ControlSocket&& other) noexcept;
    ControlSocket& operator=(ControlSocket&& other) noexcept;
    ~ControlSocket() { close(); }

    const std::filesystem::path& path() const { return path_; }
    int listener() const { return listener_.get(); }
    // Removes the socket file when it is still the one bound here, then closes the listener.
    void close() noexcept;

private:
    FileDescriptor listener_;
    std::filesystem::path path_;
    dev_t device_ = 0;  // of the socket file bound here: a file of another claim is never removed
    ino_t inode_ = 0;
};

// Serves a claimed control socket on one thread of its own: it accepts, reads the request lines and writes
// the answers of every connection at once (a client that sends nothing holds up no other), and each "wait"
// runs on a thread of its own, so that a "status" is answered during a long wait.
class ControlServer {
public:
    // What the mount says of itself; called on the server's thread and on wait threads, possibly at once.
    using StatusSource = std::function<MountStatus()>;
    // Starts every pending upload and returns by `deadline` at the latest (whether all is uploaded); called
    // once per "wait" request, on a thread of its own, with the request's deadline.
    using UploadNow = std::function<bool(std::chrono::steady_clock::time_point deadline)>;

    // `requestTimeout`: how long a client has to send its request line, and then to take its answer.
    // Throws std::system_error when the thread's wake-up descriptor cannot be made.
    ControlServer(ControlSocket socket, MountIdentity identity, StatusSource status, UploadNow uploadNow,
                  std::chrono::milliseconds requestTimeout = std::chrono::seconds(2));
    ~ControlServer();  // stop()
    ControlServer(const ControlServer&) = delete;
    ControlServer& operator=(const ControlServer&) = delete;

    // Answers the clients of waits under way with {"error": "the mount is stopping"}, closes every
    // connection, removes the socket file, and returns once the server's thread and every wait thread have
    // ended (a wait's UploadNow is not interrupted: it returns by its deadline). Idempotent.
    void stop();

    const std::filesystem::path& path() const;

private:
    struct Loop;
    std::unique_ptr<Loop> loop_;
};

// Asks the running mount of `domain` for its status; with `wait`, it first makes it upload every pending
// change, answering once nothing waits or `wait` has passed. nullopt when no mount runs (no socket file, or
// nothing accepts on it). Throws std::runtime_error when the mount answers an error, something else than
// an answer, or nothing within `wait` and ten seconds more; std::system_error for a socket that cannot be
// reached for another reason (EACCES).
std::optional<StatusAnswer> requestStatus(const std::string& domain,
                                          std::optional<std::chrono::milliseconds> wait = std::nullopt);

}  // namespace tw::mount
