// Download addresses: an open record's url is appended to the base only when the result stays on the API's
// origin; anything else is a client error before any request.
#include "remote_checks.h"

namespace tw::test {
namespace {

TEST(DownloadURL, OnlyAPathOnTheApiOriginIsAccepted) {
    const Remote plain(configFor("http://127.0.0.1:8080"));
    const Remote prefixed(configFor("https://api.example.com/tw"));
    struct Case {
        const Remote& remote;
        std::string path;
        std::optional<std::string> address;  // absent: refused with "bad_url"
    } cases[] = {
        {plain, "/blobs/abc", "http://127.0.0.1:8080/blobs/abc"},
        {plain, "/dl/x?sig=a@b", "http://127.0.0.1:8080/dl/x?sig=a@b"},  // an '@' in the query stays there
        {prefixed, "/blobs/abc", "https://api.example.com/tw/blobs/abc"},
        {plain, "@evil.example/x", std::nullopt},  // would send to evil.example, as user 127.0.0.1
        {plain, "//evil.example/x", std::nullopt},
        {plain, "/x@evil.example/", std::nullopt},
        {plain, "/x\\y", std::nullopt},
        {plain, "/x\ty", std::nullopt},
        {plain, "/x\x7f", std::nullopt},
        {plain, "blobs/abc", std::nullopt},
        {plain, "", std::nullopt},
        {plain, ":9999/x", std::nullopt},  // another port
        {plain, "/a b", std::nullopt},     // not a URL
        {prefixed, ".evil.example/x", std::nullopt},
    };
    for (const auto& [remote, path, address] : cases) {
        SCOPED_TRACE(path);
        if (address) {
            EXPECT_EQ(remote.downloadURL(path), *address);
            continue;
        }
        const RemoteError error = errorOf([&] { remote.downloadURL(path); });
        EXPECT_EQ(error.status(), 0);
        EXPECT_EQ(error.code(), "bad_url");
    }
}

}  // namespace
}  // namespace tw::test
