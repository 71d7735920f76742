#pragma once
// Pages of the service's records made up for benchmarks: the same keys, types and order as the service writes
// (every node key present, null where a value is absent, keys sorted), with realistic values.

#include <cstdint>
#include <string>

namespace tw::bench {

struct PageShape {
    int nodes = 500;       // the service's page size
    int folderEvery = 8;   // one node in this many is a folder (no size, mime or rev)
    int deletedEvery = 0;  // one node in this many is in the trash ("deleted" true, "deletedAt" set); 0: none
    std::uint64_t seed = 1;        // the same seed gives the same bytes
    std::int64_t firstNum = 1000;  // ids are "n<num>", as the service makes them
};

// A folder page {"items":[...],"nextCursor":"..."}: the children of one folder.
std::string listingPage(const PageShape& shape = {});

// A change-feed page {"changes":[...],"cursor":N,"hasMore":true,"latest":N}.
std::string changesPage(const PageShape& shape = {});

}  // namespace tw::bench
