#include "server/node.h"

#include <charconv>

namespace tw::server {

std::string idOf(std::int64_t num) {
    return "n" + std::to_string(num);
}

std::optional<std::int64_t> numOf(const std::string& id) {
    if (id.size() < 2 || id.size() > 20 || id[0] != 'n' || id[1] == '0') return std::nullopt;
    std::int64_t num = 0;
    auto [end, ec] = std::from_chars(id.data() + 1, id.data() + id.size(), num);
    if (ec != std::errc() || end != id.data() + id.size() || num <= 0) return std::nullopt;
    return num;
}

nlohmann::json toJson(const Node& node) {
    nlohmann::json j = nlohmann::json::object();
    j["id"] = idOf(node.num);
    j["parent"] = node.parent == 0 ? nlohmann::json(nullptr) : nlohmann::json(idOf(node.parent));
    j["kind"] = node.folder ? "folder" : "file";
    j["name"] = node.name;
    if (node.folder) {
        j["size"] = nullptr;
        j["mime"] = nullptr;
        j["rev"] = nullptr;
    } else {
        j["size"] = node.size;
        j["mime"] = node.mime ? nlohmann::json(*node.mime) : nlohmann::json(nullptr);
        j["rev"] = node.rev ? nlohmann::json(*node.rev) : nlohmann::json(nullptr);
    }
    j["version"] = node.version;
    j["seq"] = node.seq;
    j["createdAt"] = node.createdAt;
    j["updatedAt"] = node.updatedAt;
    j["deleted"] = node.deletedAt.has_value();
    j["deletedAt"] = node.deletedAt ? nlohmann::json(*node.deletedAt) : nlohmann::json(nullptr);
    return j;
}

}  // namespace tw::server
