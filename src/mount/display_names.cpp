#include "mount/display_names.h"

#include <cmath>
#include <ctime>

namespace tw::mount {

std::string displayName(const std::string& serviceName) {
    if (serviceName.empty()) return "\u2400";
    if (serviceName == ".") return "\u2024";
    if (serviceName == "..") return "\u2025";
    std::string shown;
    shown.reserve(serviceName.size());
    for (const char c : serviceName) {
        if (c == '/')
            shown += "\u2215";
        else if (c == '\0')
            shown += "\u2400";
        else
            shown += c;
    }
    return shown;
}

std::string trashInfo(const std::string& relativePath, const std::optional<host::Date>& deleted) {
    static const char* hex = "0123456789ABCDEF";
    std::string text = "[Trash Info]\nPath=";
    for (const unsigned char c : relativePath) {
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
            c == '.' || c == '_' || c == '~' || c == '/') {
            text += static_cast<char>(c);
        } else {
            text += '%';
            text += hex[c >> 4];
            text += hex[c & 15];
        }
    }
    text += "\n";
    if (deleted) {
        const auto seconds = static_cast<std::time_t>(std::floor(deleted->secondsSince1970));
        std::tm local{};
        localtime_r(&seconds, &local);
        char date[32];
        std::strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%S", &local);
        text += std::string("DeletionDate=") + date + "\n";
    }
    return text;
}

}  // namespace tw::mount
