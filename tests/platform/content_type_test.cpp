#include "platform/content_type.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

namespace tw {
namespace {

// "identifier mime extension" of a type found, or "(none)", so that expectations read as plain text.
std::string describe(const std::optional<ContentType>& type) {
    if (!type) return "(none)";
    return type->identifier() + " " + type->preferredMIMEType().value_or("-") + " " +
           type->preferredFilenameExtension().value_or("-");
}

// These use the system registry, /etc/mime.types from Debian's media-types package.
TEST(ContentTypeLookup, FindsByExtensionOrMIMETypeInAnyCase) {
    const auto ext = [](const char* text) { return ContentType::fromFilenameExtension(text); };
    const auto mime = [](const char* text) { return ContentType::fromMIMEType(text); };
    const std::pair<std::optional<ContentType>, std::string> cases[] = {
        {ext("pdf"), "application/pdf application/pdf pdf"},
        {ext("PDF"), "application/pdf application/pdf pdf"},
        {mime("TEXT/Plain"), "text/plain text/plain txt"},
        {mime(" text/plain ;format=flowed"), "text/plain text/plain txt"},
        {ext("no-such-extension-zz"), "(none)"},
        {ext(""), "(none)"},
        {ext(".pdf"), "(none)"},
        {mime("application/x-no-such-type"), "(none)"},
        {mime("; charset=utf-8"), "(none)"},
        {ContentType::fromFilenameExtension("pdf", ContentType::folder()), "(none)"},
        {ContentType::fromMIMEType("application/pdf", ContentType::symbolicLink()), "(none)"},
        {ContentType::folder(), "public.folder - -"},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(cases[i].second + " #" + std::to_string(i));
        EXPECT_EQ(describe(cases[i].first), cases[i].second);
    }
}

TEST(ContentType, ConformanceTable) {
    const ContentType pdf = ContentType::fromMIMEType("application/pdf").value(),
                      folder = ContentType::folder(), directory = ContentType::directory(),
                      item = ContentType::item(), data = ContentType::data(),
                      link = ContentType::symbolicLink();
    const struct {
        ContentType type, to;
        bool conforms;
    } cases[] = {
        // clang-format off
        {folder, directory, true}, {folder, item, true}, {folder, data, false}, {directory, folder, false},
        {link, item, true}, {link, data, false}, {data, item, true}, {item, data, false},
        {pdf, data, true}, {pdf, item, true}, {pdf, link, false}, {data, pdf, false},
        {pdf, ContentType::fromMIMEType("text/plain").value(), false},
        // clang-format on
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.type.identifier() + " -> " + c.to.identifier());
        EXPECT_EQ(c.type.conforms(c.to), c.conforms);
    }
}

TEST(ContentTypeRegistryFile, ReadsTypesExtensionsAndCommentsOrNothing) {
    const auto dir =
        std::filesystem::temp_directory_path() / ("content_type_test." + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    std::ofstream(dir / "mime.types", std::ios::binary)
        << "# a comment line\n"
           "application/X-Thing\tthg THX   # one trailing comment\n"
           "text/x-bare\n"
           "not-a-mime-type   nope\n"
           "   \n"
           "application/x-second thg sec\r\n"
           "text/x-bare  bare\n";
    const auto registry = ContentTypeRegistry::fromFile(dir / "mime.types");
    const auto byExtension = [&](const char* e) { return describe(registry.typeForFilenameExtension(e)); };
    EXPECT_EQ(byExtension("THX"), "application/x-thing application/x-thing thg");
    // An extension listed twice keeps its first type; the carriage return is not part of "sec".
    EXPECT_EQ(byExtension("thg"), "application/x-thing application/x-thing thg");
    EXPECT_EQ(byExtension("sec"), "application/x-second application/x-second thg");
    // A type listed first without extensions takes its preferred one from its later line.
    EXPECT_EQ(describe(registry.typeForMIMEType("text/x-bare")), "text/x-bare text/x-bare bare");
    EXPECT_EQ(byExtension("nope"), "(none)");
    EXPECT_EQ(byExtension("pdf"), "(none)");
    for (const auto& path : {dir / "absent.types", dir}) {
        SCOPED_TRACE(path);
        EXPECT_EQ(describe(ContentTypeRegistry::fromFile(path).typeForMIMEType("text/plain")), "(none)");
    }
    std::filesystem::remove_all(dir);
}

TEST(PathExtension, FollowsTheLastComponentsLastDot) {
    const std::pair<const char*, const char*> cases[] = {
        // clang-format off
        {"report.pdf", "pdf"}, {"Report.PDF", "PDF"}, {"a.tar.gz", "gz"}, {"LEIAME", ""}, {"", ""},
        {".bashrc", ""}, {"..bashrc", ""}, {".config.json", "json"}, {"name.", ""}, {"..", ""},
        {"docs.d/notes", ""}, {"docs/notes.txt", "txt"}, {"docs/a.txt/", "txt"}, {"/", ""},
        // clang-format on
    };
    for (const auto& [filename, extension] : cases) {
        SCOPED_TRACE(filename);
        EXPECT_EQ(pathExtension(filename), extension);
    }
}

}  // namespace
}  // namespace tw
