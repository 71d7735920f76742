#pragma once

// Fault injection for tests of the client, enabled only by --allow-faults. A rule matches requests by
// method and path pattern and applies to the next `times` of them (times -1: until cleared). Effects:
//   status + body   answer at once with that status and JSON body (default {"error":"injected"})
//   delayMs         wait that long, then handle the request normally (combines with the others)
//   drop            close the connection before any reply
//   cutAfter        send the headers and that many body bytes, then close the connection
//   ignoreRange     serve a download whole with 200, ignoring "Range"
//   shortBy         serve a download that many bytes short of its announced range, cleanly framed
//   stallMs         pause the body that long after `stallAfter` bytes (default 0), then go on
// Rules are tried in the order they were added; the first with requests left wins. Thread-safe.

#include <nlohmann/json.hpp>

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace tw::server {

struct FaultRule {
    int id = 0;
    std::string method = "*";  // an HTTP method, or "*" for any
    std::string path;          // the request path (without query); "*" matches any run of characters
    int times = 1;
    int hits = 0;
    std::optional<int> status;
    nlohmann::json body;
    std::int64_t delayMs = 0;
    bool drop = false;
    std::optional<std::int64_t> cutAfter;
    bool ignoreRange = false;
    std::int64_t shortBy = 0;
    std::int64_t stallMs = 0;
    std::int64_t stallAfter = 0;
};

// Parses a rule from its JSON form (the members named above); throws ApiError 400 on a bad rule.
FaultRule faultFromJson(const nlohmann::json& json);
nlohmann::json toJson(const FaultRule& rule);

// True when `text` matches `pattern`, where "*" stands for any run of characters (even empty).
bool globMatch(std::string_view pattern, std::string_view text);

class Faults {
public:
    int add(FaultRule rule);
    void clear();
    nlohmann::json list() const;
    // The first rule matching the request that has requests left, counted as used.
    std::optional<FaultRule> take(const std::string& method, const std::string& path);

private:
    mutable std::mutex mutex_;
    std::vector<FaultRule> rules_;
    int nextId_ = 1;
};

// The fault chosen for the request this thread is serving; set by the request dispatcher before a
// handler runs, read by the code that writes the reply.
void setCurrentFault(std::optional<FaultRule> rule);
const std::optional<FaultRule>& currentFault();

}  // namespace tw::server
