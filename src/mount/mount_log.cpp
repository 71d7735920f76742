#include "mount/mount_log.h"

namespace tw::mount {

const Logger& mountLog() {
    // Never destroyed: a detached task may still log while the process runs its exit handlers.
    static const Logger& logger = *new Logger(mountLogSubsystem, "mount");
    return logger;
}

const Logger& cacheLog() {
    static const Logger& logger = *new Logger(mountLogSubsystem, "cache");
    return logger;
}

}  // namespace tw::mount
