// The download-address rule: Remote::downloadURL either returns the base followed by the path, or throws
// its client error (status 0, "bad_url"). What it accepts, read back by libcurl's URL parser (the one the
// transport uses), goes to the base's own scheme, host and port and carries no user or password. Its path
// may climb out of the base's own path through dot segments ("/../x"): the rule is the origin's.

#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_check.h"
#include "remote/remote.h"
#include "url_parts.h"

namespace {

void check(const tw::Remote& remote, const std::string& path) {
    std::string address;
    try {
        address = remote.downloadURL(path);
    } catch (const tw::RemoteError& error) {
        FUZZ_CHECK(error.kind() == tw::RemoteError::Case::http && error.status() == 0 &&
                   error.code() == "bad_url");
        return;
    } catch (const std::exception& error) {
        fuzzUnexpected("downloadURL", &error);
    }
    const std::string& base = remote.config().base;
    FUZZ_CHECK(address == base + path);
    const UrlParts got(address), expected(base);
    FUZZ_CHECK(got.valid() && expected.valid());
    FUZZ_CHECK(got[CURLUPART_SCHEME] == expected[CURLUPART_SCHEME] &&
               got[CURLUPART_HOST] == expected[CURLUPART_HOST] &&
               got[CURLUPART_PORT] == expected[CURLUPART_PORT]);
    FUZZ_CHECK(!got[CURLUPART_USER] && !got[CURLUPART_PASSWORD]);
    FUZZ_CHECK(got[CURLUPART_PATH].value_or("").starts_with("/"));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const tw::Remote plain(tw::Config("http://127.0.0.1:8080", "t", "", std::nullopt));
    static const tw::Remote prefixed(tw::Config("https://api.example.com/tw", "t", "", std::nullopt));
    const std::string path(reinterpret_cast<const char*>(data), size);
    check(plain, path);
    check(prefixed, path);
    return 0;
}
