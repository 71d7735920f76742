#pragma once
// The pages and answers the service returns around nodes: a folder or trash page, a change-feed page and an
// opened node, with their decoders. Each decoder follows the rules of decodeNode for the nodes it holds and
// for the types of its own keys, ignores unknown keys, and throws DecodeError; one bad node fails the whole
// record, naming its position ("key \"items\": element 3: key \"version\": missing").

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "records/node.h"

namespace tw {

inline constexpr std::int64_t MiB = 1048576;

// One page of a folder's or the trash's children, in the service's order.
struct Listing {
    std::vector<Node> items;                // "items", required
    std::optional<std::string> nextCursor;  // "nextCursor"; absent (missing or null) on the last page

    bool operator==(const Listing&) const = default;
};

// One page of the change feed.
struct Changes {
    std::vector<Node> changes;  // "changes": nodes changed after the position asked from
    std::int64_t cursor = 0;    // "cursor": the position to ask from next time
    std::int64_t latest = 0;    // "latest": the newest position the service knows
    bool hasMore = false;       // "hasMore": more changes follow this page

    bool operator==(const Changes&) const = default;
};

// A node opened for download. On the wire it is one flat object: the node's keys at the top level beside
// "url" and "expiresAt" (a reply nesting the node under a key fails: its node keys are missing).
struct Opened {
    Node node;
    std::string url;             // a path to append to the configuration's base address
    std::int64_t expiresAt = 0;  // milliseconds since the Unix epoch after which url is refused

    bool operator==(const Opened&) const = default;
};

Listing decodeListing(std::string_view json);
Changes decodeChanges(std::string_view json);
Opened decodeOpened(std::string_view json);

}  // namespace tw
