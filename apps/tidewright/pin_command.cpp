// tidewright pin PATH... / tidewright unpin PATH... — keeps files and folders on a mount wholly downloaded,
// or lets them go again, through the mount's xattr user.tidewright.pinned.
#include <sys/xattr.h>

#include <cerrno>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "commands.h"
#include "mount/mount.h"
#include "terminal_text.h"

namespace tw::cli {
namespace {

constexpr const char* pinnedAttribute = "user.tidewright.pinned";

// Why a pin or an unpin of `path` failed, for the user.
std::string failureOf(const std::string& path, bool pinning, int error) {
    const auto shown = terminalText(path);
    switch (error) {
        case ENOTSUP:
            return shown + " is not on a Tidewright mount";
        case EAGAIN:
            return shown + " is not uploaded yet: pin it once it is";
        case EPERM:
            return pinning ? shown + " cannot be pinned: the service does not keep it"
                           : shown + " stays pinned: a folder above it is pinned";
        default:
            return std::string("cannot ") + (pinning ? "pin " : "unpin ") + shown + ": " +
                   std::strerror(error);
    }
}

int pinAll(const std::vector<std::string>& paths, bool pinning) {
    int status = 0;
    for (const auto& path : paths) {
        // Another file system may take user xattrs too: it must not be given this one.
        if (!mount::isOnMount(path)) {
            std::cerr << "tidewright: " << failureOf(path, pinning, ENOTSUP) << "\n";
            status = 1;
            continue;
        }
        const int result = pinning ? ::setxattr(path.c_str(), pinnedAttribute, "1", 1, 0)
                                   : ::removexattr(path.c_str(), pinnedAttribute);
        // Unpinning what is not pinned leaves it as asked.
        if (result == 0 || (!pinning && errno == ENODATA)) continue;
        std::cerr << "tidewright: " << failureOf(path, pinning, errno) << "\n";
        status = 1;
    }
    return status;
}

void addCommand(CLI::App& app, StandaloneAction* chosen, const char* name, const char* description,
                bool pinning) {
    auto paths = std::make_shared<std::vector<std::string>>();
    auto* command = app.add_subcommand(name, description);
    command->add_option("PATH", *paths, "files and folders on a mount")->required();
    command->callback([chosen, paths, pinning] {
        *chosen = [paths, pinning](const Options&) { return pinAll(*paths, pinning); };
    });
}

}  // namespace

void addPinCommands(CLI::App& app, StandaloneAction* chosen) {
    addCommand(app, chosen, "pin",
               "Keep files and folders on a mount downloaded (folders with all they hold, later files too)",
               true);
    addCommand(app, chosen, "unpin", "Let pinned files and folders on a mount be evicted again", false);
}

}  // namespace tw::cli
