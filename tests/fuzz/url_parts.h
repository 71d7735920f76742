#pragma once
// An address as libcurl's URL parser (the one the transport uses) reads it back.

#include <memory>
#include <optional>
#include <string>

#include <curl/curl.h>

class UrlParts {
public:
    // Whether libcurl accepts the address at all.
    explicit UrlParts(const std::string& address)
        : url_(curl_url(), curl_url_cleanup),
          valid_(url_ && curl_url_set(url_.get(), CURLUPART_URL, address.c_str(), 0) == CURLUE_OK) {}

    bool valid() const { return valid_; }

    // The part as libcurl gives it, nullopt when the address has none.
    std::optional<std::string> operator[](CURLUPart which) const { return get(which, 0); }
    std::optional<std::string> port() const { return get(CURLUPART_PORT, CURLU_DEFAULT_PORT); }

private:
    std::optional<std::string> get(CURLUPart which, unsigned flags) const {
        char* text = nullptr;
        if (!valid_ || curl_url_get(url_.get(), which, &text, flags) != CURLUE_OK) return std::nullopt;
        std::string value(text);
        curl_free(text);
        return value;
    }

    std::unique_ptr<CURLU, decltype(&curl_url_cleanup)> url_;
    bool valid_;
};
