#include "remote/remote.h"

#include <chrono>
#include <fstream>
#include <stdexcept>

#include "platform/http/url.h"
#include "platform/task/task.h"

namespace tw {
namespace {

// Of an error reply no more is read, from memory or from a file.
constexpr std::size_t bodyFileLimit = 16'384;

http::SessionConfiguration sessionConfiguration() {
    http::SessionConfiguration configuration;
    configuration.additionalHeaders = {{"User-Agent", std::string(Remote::userAgent)}};
    configuration.maxConnectionsPerHost = 16;
    configuration.resourceTimeout = std::chrono::seconds(86'400);
    configuration.errorBodyLimit = bodyFileLimit;
    return configuration;
}

const Config& checked(const Config& config) {
    if (auto reason = Config::unsafeReason(config))
        throw std::invalid_argument("unusable configuration: " + *reason);
    return config;
}

bool isControl(char c) {
    return static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
}

constexpr std::chrono::milliseconds retryPauseStep{600};
// A metadata reply takes seconds at most; a service that trickles one must not hold a call for a day.
constexpr std::chrono::minutes metadataDeadline{5};
// Deeper error details are not kept: copying (and comparing, printing) a JSON value recurses once per level.
constexpr int detailsDepthLimit = 64;

// Whether the JSON text nests arrays and objects more than `limit` levels deep (brackets inside strings do
// not count). Looks at the text only, so it is safe at any depth.
bool nestsDeeperThan(std::string_view text, int limit) {
    int depth = 0;
    bool inString = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (inString) {
            if (c == '\\')
                ++i;
            else if (c == '"')
                inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            if (++depth > limit) return true;
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return false;
}

}  // namespace

Remote::Remote(Config config)
    : config_(checked(config)), session_(std::make_unique<http::Session>(sessionConfiguration())) {}

Remote::Remote(Config config, std::vector<std::shared_ptr<http::Transport>> protocolClasses)
    : config_(checked(config)),
      session_(std::make_unique<http::Session>(sessionConfiguration(), std::move(protocolClasses))) {}

std::string Remote::url(std::string_view path) const {
    std::string text = config_.base;
    text += path;
    return http::isValidURL(text) ? text : http::placeholderURL;
}

std::string Remote::downloadURL(std::string_view path) const {
    const auto query = path.find_first_of("?#");
    const std::string_view beforeQuery = path.substr(0, query);
    bool safe = path.size() >= 1 && path[0] == '/' && (path.size() == 1 || path[1] != '/') &&
                beforeQuery.find('@') == std::string_view::npos;
    for (const char c : path)
        safe = safe && !isControl(c) && c != '\\';
    std::string address;
    if (safe) {
        address = url(path);
        const auto origin = http::originOf(address);
        safe = address != http::placeholderURL && origin && origin == http::originOf(config_.base);
    }
    if (!safe) throw RemoteError::http(0, "bad_url");
    return address;
}

http::Request Remote::request(std::string method, std::string_view path, const http::Headers& headers,
                              std::optional<std::string> body, bool auth) const {
    http::Request request;
    request.url = url(std::string(apiPath) + std::string(path));
    request.method = std::move(method);
    request.timeout = std::chrono::seconds(60);
    if (auth) request.setHeader("Authorization", "Bearer " + config_.token);
    if (body) {
        request.body = std::move(body);
        request.setHeader("Content-Type", "application/json");
    }
    for (const auto& [name, value] : headers)
        request.setHeader(name, value);
    return request;
}

std::string Remote::send(const http::Request& request, bool retry) const {
    http::Request once = request;
    // A request the caller does not retry must reach the service at most once.
    once.sendOnce = !retry;
    if (!once.deadline) once.deadline = metadataDeadline;
    for (int attempt = 0;; ++attempt) {
        std::exception_ptr failed;
        try {
            auto reply = session_->data(once);
            return check(std::move(reply.body), reply.response);
        } catch (const http::URLError& error) {
            // Not sent again, though 502 is transient: the reply would be as large the next time.
            if (error.urlCode() == http::URLError::Code::dataLengthExceedsMaximum)
                throw RemoteError::http(502, "too_large");
            failed = std::current_exception();
        } catch (...) {
            failed = std::current_exception();
        }
        RemoteError error = wrap(failed);
        if (!retry || !error.isTransient() || attempt == maxAttempts - 1) throw error;
        sleepFor(retryPauseStep * (attempt + 1));  // a cancelled pause throws CancellationError as it is
    }
}

std::string Remote::json(const nlohmann::json& object) {
    return object.dump();
}

std::string Remote::check(std::string body, const http::Response& response) {
    if (!response.isHTTP)
        throw RemoteError::network(
            std::make_exception_ptr(http::URLError(http::URLError::Code::badServerResponse)));
    if (response.status >= 200 && response.status <= 299) return body;
    throw failure(response.status, body);
}

RemoteError Remote::failure(std::int64_t status, std::string_view body) {
    // Of a body nested too deep only the top level's plain members are kept (arrays and objects in it are
    // dropped while parsing, so the deep value is never built).
    nlohmann::json::parser_callback_t topLevelOnly = nullptr;
    if (nestsDeeperThan(body, detailsDepthLimit)) {
        topLevelOnly = [](int depth, nlohmann::json::parse_event_t event, nlohmann::json&) {
            using Event = nlohmann::json::parse_event_t;
            return depth == 0 || (event != Event::object_start && event != Event::array_start);
        };
    }
    nlohmann::json details = nlohmann::json::parse(body, topLevelOnly, /*allow_exceptions=*/false);
    if (!details.is_object()) details = nlohmann::json::object();
    for (auto member = details.begin(); member != details.end();)  // what the parse dropped may leave a mark
        member = member->is_discarded() ? details.erase(member) : std::next(member);
    std::string code = "http_" + std::to_string(status);
    if (const auto error = details.find("error"); error != details.end() && error->is_string())
        code = error->get<std::string>();
    return RemoteError::http(status, std::move(code), std::move(details));
}

RemoteError Remote::failure(std::int64_t status, const std::filesystem::path& bodyFile) {
    std::string body(bodyFileLimit, '\0');
    std::ifstream file(bodyFile, std::ios::binary);
    if (file) {
        file.read(body.data(), static_cast<std::streamsize>(body.size()));
        body.resize(static_cast<std::size_t>(file.gcount()));
    } else {
        body.clear();
    }
    return failure(status, body);
}

RemoteError Remote::wrap(std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (const RemoteError& remote) {
        return remote;
    } catch (const CancellationError&) {
        return RemoteError::cancelled();
    } catch (const http::URLError& urlError) {
        if (urlError.urlCode() == http::URLError::Code::cancelled) return RemoteError::cancelled();
        return RemoteError::network(std::current_exception());
    } catch (...) {
        return RemoteError::network(std::current_exception());
    }
}

void Remote::requireSafeId(std::string_view id) {
    bool safe = !id.empty() && id != "." && id != "..";
    for (const char c : id) {
        if (!safe) break;
        safe = !isControl(c) && std::string_view("/\\?#%& ").find(c) == std::string_view::npos;
    }
    if (!safe) throw RemoteError::http(0, "bad_id");
}

void Remote::requireSafeCursor(std::string_view cursor) {
    for (const char c : cursor)
        if (isControl(c) || c == '&' || c == '#' || c == ' ') throw RemoteError::http(0, "bad_cursor");
}

}  // namespace tw
