#include "server/faults.h"

#include "server/api_error.h"

namespace tw::server {
namespace {

thread_local std::optional<FaultRule> current;

std::int64_t nonNegative(const nlohmann::json& json, const char* key, std::int64_t fallback) {
    if (!json.contains(key)) return fallback;
    const auto& value = json.at(key);
    if (!value.is_number_integer() || value.get<std::int64_t>() < 0) throw ApiError(400, "bad_fault");
    return value.get<std::int64_t>();
}

bool flag(const nlohmann::json& json, const char* key) {
    if (!json.contains(key)) return false;
    if (!json.at(key).is_boolean()) throw ApiError(400, "bad_fault");
    return json.at(key).get<bool>();
}

}  // namespace

FaultRule faultFromJson(const nlohmann::json& json) {
    if (!json.is_object()) throw ApiError(400, "bad_fault");
    FaultRule rule;
    if (json.contains("method")) {
        if (!json["method"].is_string()) throw ApiError(400, "bad_fault");
        rule.method = json["method"].get<std::string>();
    }
    if (!json.contains("path") || !json["path"].is_string()) throw ApiError(400, "bad_fault");
    rule.path = json["path"].get<std::string>();
    if (json.contains("times")) {
        if (!json["times"].is_number_integer()) throw ApiError(400, "bad_fault");
        auto times = json["times"].get<std::int64_t>();
        if (times < -1 || times == 0 || times > 1'000'000) throw ApiError(400, "bad_fault");
        rule.times = static_cast<int>(times);
    }
    if (json.contains("status")) {
        if (!json["status"].is_number_integer()) throw ApiError(400, "bad_fault");
        auto status = json["status"].get<std::int64_t>();
        if (status < 100 || status > 599) throw ApiError(400, "bad_fault");
        rule.status = static_cast<int>(status);
        rule.body = json.contains("body") ? json["body"] : nlohmann::json{{"error", "injected"}};
    }
    rule.delayMs = nonNegative(json, "delayMs", 0);
    rule.drop = flag(json, "drop");
    if (json.contains("cutAfter")) rule.cutAfter = nonNegative(json, "cutAfter", 0);
    rule.ignoreRange = flag(json, "ignoreRange");
    rule.shortBy = nonNegative(json, "shortBy", 0);
    rule.stallMs = nonNegative(json, "stallMs", 0);
    rule.stallAfter = nonNegative(json, "stallAfter", 0);
    return rule;
}

nlohmann::json toJson(const FaultRule& rule) {
    nlohmann::json j = {{"id", rule.id},
                        {"method", rule.method},
                        {"path", rule.path},
                        {"times", rule.times},
                        {"hits", rule.hits}};
    if (rule.status) {
        j["status"] = *rule.status;
        j["body"] = rule.body;
    }
    if (rule.delayMs) j["delayMs"] = rule.delayMs;
    if (rule.drop) j["drop"] = true;
    if (rule.cutAfter) j["cutAfter"] = *rule.cutAfter;
    if (rule.ignoreRange) j["ignoreRange"] = true;
    if (rule.shortBy) j["shortBy"] = rule.shortBy;
    if (rule.stallMs) {
        j["stallMs"] = rule.stallMs;
        j["stallAfter"] = rule.stallAfter;
    }
    return j;
}

bool globMatch(std::string_view pattern, std::string_view text) {
    // Iterative matcher with backtracking to the last star: linear in practice, no recursion.
    std::size_t p = 0, t = 0, star = std::string_view::npos, mark = 0;
    while (t < text.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            star = p++;
            mark = t;
        } else if (p < pattern.size() && pattern[p] == text[t]) {
            ++p;
            ++t;
        } else if (star != std::string_view::npos) {
            p = star + 1;
            t = ++mark;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*')
        ++p;
    return p == pattern.size();
}

int Faults::add(FaultRule rule) {
    std::scoped_lock lock(mutex_);
    rule.id = nextId_++;
    rule.hits = 0;
    rules_.push_back(std::move(rule));
    return rules_.back().id;
}

void Faults::clear() {
    std::scoped_lock lock(mutex_);
    rules_.clear();
}

nlohmann::json Faults::list() const {
    std::scoped_lock lock(mutex_);
    nlohmann::json all = nlohmann::json::array();
    for (const auto& rule : rules_)
        all.push_back(toJson(rule));
    return all;
}

std::optional<FaultRule> Faults::take(const std::string& method, const std::string& path) {
    std::scoped_lock lock(mutex_);
    for (auto& rule : rules_) {
        if (rule.times != -1 && rule.hits >= rule.times) continue;
        if (rule.method != "*" && rule.method != method) continue;
        if (!globMatch(rule.path, path)) continue;
        ++rule.hits;
        return rule;
    }
    return std::nullopt;
}

void setCurrentFault(std::optional<FaultRule> rule) {
    current = std::move(rule);
}

const std::optional<FaultRule>& currentFault() {
    return current;
}

}  // namespace tw::server
