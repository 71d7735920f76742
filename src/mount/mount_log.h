#pragma once
// The mount's own log (subsystem "com.tidewright.mount"): always written, unlike the extension's.

#include "platform/log.h"

namespace tw::mount {

inline constexpr const char* mountLogSubsystem = "com.tidewright.mount";

const Logger& mountLog();

}  // namespace tw::mount
