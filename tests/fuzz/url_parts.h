#pragma once
// An address as libcurl's URL parser (the one the transport uses) reads it back.

#include <memory>
#include <optional>
#include <string>

#include <curl/curl.h>

class UrlParts {
public:
    explicit UrlParts(const std::string& address) : url_(curl_url(), curl_url_cleanup) {
        valid_ = url_ && curl_url_set(url_.get(), CURLUPART_URL, address.c_str(), 0) == CURLUE_OK;
    }

    bool valid() const { return valid_; }  // whether libcurl accepts the address at all

    // The part as libcurl gives it (a port also when it is the scheme's default); nullopt when there is none.
    std::optional<std::string> operator[](CURLUPart which) const {
        char* text = nullptr;
        const unsigned flags = which == CURLUPART_PORT ? CURLU_DEFAULT_PORT : 0;
        if (!valid_ || curl_url_get(url_.get(), which, &text, flags) != CURLUE_OK) return std::nullopt;
        std::string value(text);
        curl_free(text);
        return value;
    }

private:
    std::unique_ptr<CURLU, decltype(&curl_url_cleanup)> url_;
    bool valid_ = false;
};
