// The download-address rule: Remote::downloadURL either returns the base followed by the path, or throws
// its client error (status 0, "bad_url"). What it accepts, read back by libcurl's URL parser (the one the
// transport uses), goes to the base's own scheme, host and port, carries no user or password, and starts
// with the base's path.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include <curl/curl.h>

#include "fuzz_check.h"
#include "remote/remote.h"

namespace {

struct Parsed {
    std::optional<std::string> scheme, host, port, user, password, path;
};

Parsed parse(const std::string& address) {
    const std::unique_ptr<CURLU, decltype(&curl_url_cleanup)> url(curl_url(), curl_url_cleanup);
    FUZZ_CHECK(url != nullptr);
    FUZZ_CHECK(curl_url_set(url.get(), CURLUPART_URL, address.c_str(), 0) == CURLUE_OK);
    const auto part = [&](CURLUPart which, unsigned flags = 0) -> std::optional<std::string> {
        char* text = nullptr;
        if (curl_url_get(url.get(), which, &text, flags) != CURLUE_OK) return std::nullopt;
        std::string value(text);
        curl_free(text);
        return value;
    };
    return {part(CURLUPART_SCHEME), part(CURLUPART_HOST),     part(CURLUPART_PORT, CURLU_DEFAULT_PORT),
            part(CURLUPART_USER),   part(CURLUPART_PASSWORD), part(CURLUPART_PATH)};
}

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
    const Parsed got = parse(address), expected = parse(base);
    FUZZ_CHECK(got.scheme == expected.scheme && got.host == expected.host && got.port == expected.port);
    FUZZ_CHECK(!got.user && !got.password);
    FUZZ_CHECK(got.path &&
               got.path->starts_with(expected.path.value_or("/") == "/" ? "/" : *expected.path + "/"));
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
