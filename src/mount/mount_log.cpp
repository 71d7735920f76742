#include "mount/mount_log.h"

namespace tw::mount {

const Logger& mountLog() {
    static const Logger logger(mountLogSubsystem, "mount");
    return logger;
}

const Logger& cacheLog() {
    static const Logger logger(mountLogSubsystem, "cache");
    return logger;
}

}  // namespace tw::mount
