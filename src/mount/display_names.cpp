#include "mount/display_names.h"

#include <algorithm>
#include <cmath>
#include <ctime>
#include <map>
#include <unordered_set>

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

std::string numberedName(const std::string& name, int k) {
    const auto dot = name.rfind('.');
    const auto stem = dot == std::string::npos || dot == 0 ? name.size() : dot;
    return name.substr(0, stem) + " (" + std::to_string(k) + ")" + name.substr(stem);
}

namespace {

bool createdBefore(const NameClaim& a, const NameClaim& b) {
    if (a.created.has_value() != b.created.has_value()) return a.created.has_value();
    if (a.created && a.created->secondsSince1970 != b.created->secondsSince1970)
        return a.created->secondsSince1970 < b.created->secondsSince1970;
    if (a.identifier.size() != b.identifier.size()) return a.identifier.size() < b.identifier.size();
    return a.identifier < b.identifier;
}

}  // namespace

std::vector<std::string> uniqueNames(const std::vector<NameClaim>& claims) {
    std::vector<std::string> names(claims.size());
    std::map<std::string, std::vector<std::size_t>> wanting;  // shown name → the claims that want it
    for (std::size_t i = 0; i < claims.size(); ++i) {
        names[i] = displayName(claims[i].name);
        wanting[names[i]].push_back(i);
    }
    std::unordered_set<std::string> taken;
    for (const auto& [name, indices] : wanting)
        taken.insert(name);
    // Each group's later items are numbered after every plain name is taken, so no number lands on one.
    for (auto& [name, indices] : wanting) {
        if (indices.size() < 2) continue;
        std::sort(indices.begin(), indices.end(),
                  [&](std::size_t a, std::size_t b) { return createdBefore(claims[a], claims[b]); });
        int k = 2;
        for (std::size_t rank = 1; rank < indices.size(); ++rank) {
            std::string candidate;
            do
                candidate = numberedName(name, k++);
            while (taken.contains(candidate));
            taken.insert(candidate);
            names[indices[rank]] = candidate;
        }
    }
    return names;
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
