// Includes the mount may make: the check must not name this file.
#include <fuse_lowlevel.h>

#include "host_calls/answer.h"
#include "mount/mount.h"
#include "platform/log.h"
