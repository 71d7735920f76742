#include "support/listing_page.h"

#include <array>
#include <random>
#include <string_view>

#include <nlohmann/json.hpp>

namespace tw::bench {
namespace {

// Words a Brazilian user's files are named with: accented letters (two-byte UTF-8) in most names, so that
// string validation and copying meet the bytes they meet in practice.
constexpr std::array<std::string_view, 16> words = {
    "Relatório", "Orçamento",  "Reunião",   "Apresentação", "Fotografias", "Férias", "Análise",    "Contrato",
    "Notas",     "Declaração", "São Paulo", "Planilha",     "Currículo",   "Música", "Importação", "Café",
};

struct FileType {
    std::string_view extension;
    std::string_view mime;
};

constexpr std::array<FileType, 10> fileTypes = {{
    {"pdf", "application/pdf"},
    {"docx", "application/vnd.openxmlformats-officedocument.wordprocessingml.document"},
    {"xlsx", "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet"},
    {"jpg", "image/jpeg"},
    {"png", "image/png"},
    {"txt", "text/plain"},
    {"md", "text/markdown"},
    {"mp4", "video/mp4"},
    {"zip", "application/zip"},
    {"mp3", "audio/mpeg"},
}};

constexpr std::int64_t parentNum = 42;
constexpr std::int64_t baseTimeMs = 1'700'000'000'000;  // November 2023

// Appending to a named string, not `"n" + std::to_string(...)`: GCC 12 warns falsely (-Wrestrict) on
// that form once inlined.
std::string prefixed(char prefix, std::string_view rest) {
    std::string text(1, prefix);
    text += rest;
    return text;
}

std::string hex(std::mt19937_64& random, int digits) {
    static constexpr std::string_view alphabet = "0123456789abcdef";
    std::string text;
    for (int i = 0; i < digits; ++i)
        text += alphabet[random() % 16];
    return text;
}

// One node as the service writes it (see its toJson): every key present, folders with null size, mime
// and rev, "deletedAt" null unless the node is in the trash.
nlohmann::json node(std::mt19937_64& random, const PageShape& shape, int index) {
    const bool folder = shape.folderEvery > 0 && index % shape.folderEvery == 0;
    const bool deleted = shape.deletedEvery > 0 && index % shape.deletedEvery == shape.deletedEvery - 1;
    const std::int64_t num = shape.firstNum + index;
    std::string name(words[random() % words.size()]);
    name += ' ';
    name += words[random() % words.size()];
    name += ' ';
    name += std::to_string(2015 + random() % 10);
    name += " (";
    name += std::to_string(index);
    name += ')';
    const FileType& type = fileTypes[random() % fileTypes.size()];
    if (!folder) name += prefixed('.', type.extension);
    const std::int64_t created = baseTimeMs + static_cast<std::int64_t>(random() % 86'400'000'000);

    nlohmann::json j = nlohmann::json::object();
    j["id"] = prefixed('n', std::to_string(num));
    j["parent"] = prefixed('n', std::to_string(parentNum));
    j["kind"] = folder ? "folder" : "file";
    j["name"] = name;
    if (folder) {
        j["size"] = nullptr;
        j["mime"] = nullptr;
        j["rev"] = nullptr;
    } else {
        j["size"] = static_cast<std::int64_t>(random() % 50'000'000);
        j["mime"] = type.mime;
        j["rev"] = prefixed('r', hex(random, 12));
    }
    j["version"] = static_cast<std::int64_t>(1 + random() % 20);
    j["seq"] = num;
    j["createdAt"] = created;
    j["updatedAt"] = created + static_cast<std::int64_t>(random() % 1'000'000'000);
    j["deleted"] = deleted;
    j["deletedAt"] = deleted ? nlohmann::json(created + 2'000'000'000) : nlohmann::json(nullptr);
    return j;
}

nlohmann::json nodes(const PageShape& shape) {
    std::mt19937_64 random(shape.seed);
    nlohmann::json items = nlohmann::json::array();
    for (int i = 0; i < shape.nodes; ++i)
        items.push_back(node(random, shape, i));
    return items;
}

}  // namespace

std::string listingPage(const PageShape& shape) {
    nlohmann::json page = {{"items", nodes(shape)}};
    page["nextCursor"] = std::to_string(shape.firstNum + shape.nodes - 1);
    return page.dump();
}

std::string changesPage(const PageShape& shape) {
    const std::int64_t last = shape.firstNum + shape.nodes - 1;
    nlohmann::json page = {{"changes", nodes(shape)}};
    page["cursor"] = last;
    page["latest"] = last + 100'000;
    page["hasMore"] = true;
    return page.dump();
}

}  // namespace tw::bench
