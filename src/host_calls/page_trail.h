#pragma once
// The guard of a host that follows a listing page after page, or a change feed batch after batch: a
// service that hands out a page (or an anchor) it has handed out before would be asked again for ever.
// Pages and anchors are opaque to a host: they are compared as bytes, never read.

#include <set>
#include <stdexcept>
#include <string>

#include "platform/error.h"
#include "platform/host/enumeration.h"

namespace tw::hostcalls {

// A listing or a feed that cannot make progress; an Error of domain "tidewright", code 1, whose text says
// which page or anchor came again. Asking again later would meet the same answer.
class NoProgress : public Error {
public:
    explicit NoProgress(const std::string& description) : Error("tidewright", 1, {}, description) {}
};

class PageTrail {
public:
    // `noun` names what is followed in the error's text ("listing cursor", "change anchor").
    explicit PageTrail(std::string noun) : noun_(std::move(noun)) {}
    // Throws NoProgress when `next` has been followed before on this trail; else records it.
    void follow(const host::Page& next);

private:
    std::string noun_;
    std::set<host::Page> followed_;
};

// Throws NoProgress when a change batch asked for from `from` announces more changes (`moreComing`) with
// `from` itself as its anchor.
void requireProgress(const host::SyncAnchor& from, const host::SyncAnchor& anchor, bool moreComing);

}  // namespace tw::hostcalls
