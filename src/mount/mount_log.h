#pragma once
// The mount's own logs (subsystem "com.tidewright.mount"): always written, unlike the extension's. The
// filesystem's lines go to category "mount", the content cache's to "cache".

#include "platform/log.h"

namespace tw::mount {

inline constexpr const char* mountLogSubsystem = "com.tidewright.mount";

const Logger& mountLog();
const Logger& cacheLog();

}  // namespace tw::mount
