#include "host_calls/page_trail.h"

namespace tw::hostcalls {

void PageTrail::follow(const host::Page& next) {
    if (!followed_.insert(next).second)
        throw NoProgress("the service handed out the " + noun_ + " \"" + next +
                         "\" a second time; stopped rather than asking for ever");
}

void requireProgress(const host::SyncAnchor& from, const host::SyncAnchor& anchor, bool moreComing) {
    if (moreComing && anchor == from)
        throw NoProgress("the service announces more changes without moving past anchor \"" + from +
                         "\"; stopped rather than asking for ever");
}

}  // namespace tw::hostcalls
