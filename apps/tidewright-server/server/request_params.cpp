#include "server/request_params.h"

#include "server/api_error.h"
#include "server/http_util.h"
#include "server/names.h"
#include "server/node.h"

namespace tw::server {

std::int64_t nodeNum(const std::string& id) {
    auto num = numOf(id);
    if (!num) throw ApiError::notFound();
    return *num;
}

std::int64_t parentNum(const std::string& text) {
    if (text == "root") return 0;
    if (text.empty()) throw ApiError(400, "invalid_parent");
    auto num = numOf(text);
    if (!num) throw ApiError(404, "parent_not_found");
    return *num;
}

std::optional<std::int64_t> ifMatch(const httplib::Request& request) {
    if (!request.has_header("If-Match")) return std::nullopt;
    std::string value = request.get_header_value("If-Match");
    // Accept the quoted form of an entity tag too: "7".
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
        value = value.substr(1, value.size() - 2);
    auto version = parseInteger(value);
    if (!version) throw ApiError(400, "invalid_if_match");
    return version;
}

std::int64_t integerParam(const httplib::Request& request, const char* key, std::int64_t fallback,
                          std::int64_t min, std::int64_t max, const char* code) {
    if (!request.has_param(key)) return fallback;
    auto value = parseInteger(request.get_param_value(key));
    if (!value || *value < min || *value > max) throw ApiError(400, code);
    return *value;
}

std::int64_t cursorParam(const httplib::Request& request) {
    std::string text = request.get_param_value("cursor");
    if (text.empty()) return 0;
    auto value = parseInteger(text);
    if (!value || *value < 0) throw ApiError(400, "invalid_cursor");
    return *value;
}

std::string checkedName(const std::string& name) {
    if (!isValidName(name)) throw ApiError(400, "invalid_name");
    return name;
}

std::string checkedMime(const std::string& mime) {
    if (mime.empty()) return "application/octet-stream";
    if (mime.size() > 255) throw ApiError(400, "invalid_mime");
    for (char c : mime) {
        if (c < 0x20 || c > 0x7E) throw ApiError(400, "invalid_mime");
    }
    return mime;
}

std::optional<std::string> stringMember(const nlohmann::json& object, const char* key, const char* code) {
    if (!object.contains(key)) return std::nullopt;
    if (!object.at(key).is_string()) throw ApiError(400, code);
    return object.at(key).get<std::string>();
}

}  // namespace tw::server
