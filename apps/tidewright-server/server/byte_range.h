#pragma once

// The single byte range of a "Range" request header, resolved against a content length.

#include <cstdint>
#include <optional>
#include <string_view>

namespace tw::server {

struct ByteRange {
    std::int64_t start = 0;
    std::int64_t length = 0;
};

// What a download answers to a "Range" header value.
struct RangeRequest {
    enum class Kind {
        whole,          // no header, or one the service does not honour (several ranges, other units)
        partial,        // one satisfiable range
        unsatisfiable,  // one range entirely past the end
    } kind = Kind::whole;
    ByteRange range;
};

// Resolves "bytes=A-B", "bytes=A-" and "bytes=-N" against `size`. B past the end is cut to the end.
RangeRequest resolveRange(std::string_view header, std::int64_t size);

}  // namespace tw::server
