#include "platform/content_type.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

namespace tw {
namespace {

// The identifier found, or "(none)", so that expectations read as plain text.
std::string idOf(const std::optional<ContentType>& type) {
    return type ? type->identifier() : "(none)";
}

// These use the system registry, /etc/mime.types from Debian's media-types package.
TEST(ContentTypeLookup, PdfExtensionInAnyCaseFindsPdf) {
    for (const char* extension : {"pdf", "PDF", "Pdf"}) {
        SCOPED_TRACE(extension);
        const auto type = ContentType::fromFilenameExtension(extension);
        EXPECT_EQ(idOf(type), "application/pdf");
        ASSERT_TRUE(type);
        EXPECT_EQ(type->preferredMIMEType(), "application/pdf");
        EXPECT_EQ(type->preferredFilenameExtension(), "pdf");
    }
}

TEST(ContentTypeLookup, MIMETypeInAnyCaseWithParametersFindsIt) {
    for (const char* mime :
         {"text/plain", "TEXT/Plain", "text/plain; charset=utf-8", " text/plain ;format=flowed"}) {
        SCOPED_TRACE(mime);
        const auto type = ContentType::fromMIMEType(mime);
        EXPECT_EQ(idOf(type), "text/plain");
        ASSERT_TRUE(type);
        EXPECT_EQ(type->preferredMIMEType(), "text/plain");
        EXPECT_EQ(type->preferredFilenameExtension(), "txt");
    }
}

TEST(ContentTypeLookup, UnknownOrEmptyFindsNothing) {
    EXPECT_EQ(idOf(ContentType::fromFilenameExtension("no-such-extension-zz")), "(none)");
    EXPECT_EQ(idOf(ContentType::fromFilenameExtension("")), "(none)");
    EXPECT_EQ(idOf(ContentType::fromFilenameExtension(".pdf")), "(none)");
    EXPECT_EQ(idOf(ContentType::fromMIMEType("application/x-no-such-type")), "(none)");
    EXPECT_EQ(idOf(ContentType::fromMIMEType("; charset=utf-8")), "(none)");
}

TEST(ContentTypeLookup, TypeThatDoesNotConformFindsNothing) {
    EXPECT_EQ(idOf(ContentType::fromFilenameExtension("pdf", ContentType::item())), "application/pdf");
    EXPECT_EQ(idOf(ContentType::fromFilenameExtension("pdf", ContentType::folder())), "(none)");
    EXPECT_EQ(idOf(ContentType::fromMIMEType("application/pdf", ContentType::symbolicLink())), "(none)");
}

TEST(ContentType, ConformanceTable) {
    const ContentType pdf = ContentType::fromMIMEType("application/pdf").value();
    const struct {
        ContentType type;
        ContentType to;
        bool conforms;
    } cases[] = {
        {ContentType::folder(), ContentType::directory(), true},
        {ContentType::folder(), ContentType::item(), true},
        {ContentType::folder(), ContentType::data(), false},
        {ContentType::directory(), ContentType::folder(), false},
        {ContentType::symbolicLink(), ContentType::item(), true},
        {ContentType::symbolicLink(), ContentType::data(), false},
        {ContentType::data(), ContentType::item(), true},
        {ContentType::item(), ContentType::data(), false},
        {pdf, ContentType::data(), true},
        {pdf, ContentType::item(), true},
        {pdf, ContentType::symbolicLink(), false},
        {ContentType::data(), pdf, false},
        {pdf, ContentType::fromMIMEType("text/plain").value(), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.type.identifier() + " -> " + c.to.identifier());
        EXPECT_EQ(c.type.conforms(c.to), c.conforms);
    }
}

TEST(ContentType, WellKnownTypesHaveNoMIMETypeOrExtension) {
    for (const ContentType& type : {ContentType::folder(), ContentType::directory(),
                                    ContentType::symbolicLink(), ContentType::data(), ContentType::item()}) {
        SCOPED_TRACE(type.identifier());
        EXPECT_EQ(type.preferredMIMEType(), std::nullopt);
        EXPECT_EQ(type.preferredFilenameExtension(), std::nullopt);
    }
}

class ContentTypeRegistryFile : public ::testing::Test {
protected:
    void SetUp() override {
        dir = std::filesystem::temp_directory_path() / ("content_type_test." + std::to_string(::getpid()));
        std::filesystem::create_directories(dir);
    }
    void TearDown() override { std::filesystem::remove_all(dir); }

    std::filesystem::path write(const std::string& text) {
        const auto path = dir / "mime.types";
        std::ofstream(path, std::ios::binary) << text;
        return path;
    }

    std::filesystem::path dir;
};

TEST_F(ContentTypeRegistryFile, ReadsTypesExtensionsAndComments) {
    const auto registry =
        ContentTypeRegistry::fromFile(write("# a comment line\n"
                                            "application/X-Thing\tthg THX   # one trailing comment\n"
                                            "text/x-bare\n"
                                            "not-a-mime-type   nope\n"
                                            "   \n"
                                            "application/x-second thg sec\r\n"
                                            "text/x-bare  bare\n"));

    const auto thing = registry.typeForFilenameExtension("THX");
    EXPECT_EQ(idOf(thing), "application/x-thing");
    ASSERT_TRUE(thing);
    EXPECT_EQ(thing->preferredFilenameExtension(), "thg");
    // An extension listed twice keeps its first type; the carriage return is not part of "sec".
    EXPECT_EQ(idOf(registry.typeForFilenameExtension("thg")), "application/x-thing");
    EXPECT_EQ(idOf(registry.typeForFilenameExtension("sec")), "application/x-second");
    // A type listed first without extensions takes its preferred one from its later line.
    EXPECT_EQ(idOf(registry.typeForMIMEType("text/x-bare")), "text/x-bare");
    EXPECT_EQ(registry.typeForMIMEType("text/x-bare")->preferredFilenameExtension(), "bare");
    EXPECT_EQ(registry.typeForFilenameExtension("bare")->preferredFilenameExtension(), "bare");
    EXPECT_EQ(idOf(registry.typeForFilenameExtension("nope")), "(none)");
    EXPECT_EQ(idOf(registry.typeForFilenameExtension("pdf")), "(none)");
}

TEST_F(ContentTypeRegistryFile, MissingOrUnreadableFileFindsNothing) {
    for (const auto& path : {dir / "absent.types", dir}) {
        SCOPED_TRACE(path);
        const auto registry = ContentTypeRegistry::fromFile(path);
        EXPECT_EQ(idOf(registry.typeForFilenameExtension("pdf")), "(none)");
        EXPECT_EQ(idOf(registry.typeForMIMEType("text/plain")), "(none)");
    }
}

TEST(PathExtension, FollowsTheLastComponentsLastDot) {
    const struct {
        const char* filename;
        const char* extension;
    } cases[] = {
        // clang-format off
        {"report.pdf", "pdf"}, {"Report.PDF", "PDF"}, {"a.tar.gz", "gz"}, {"LEIAME", ""}, {"", ""},
        {".bashrc", ""}, {"..bashrc", ""}, {".config.json", "json"}, {"name.", ""}, {"..", ""},
        {"docs.d/notes", ""}, {"docs/notes.txt", "txt"}, {"docs/a.txt/", "txt"}, {"/", ""},
        // clang-format on
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.filename);
        EXPECT_EQ(pathExtension(c.filename), c.extension);
    }
}

}  // namespace
}  // namespace tw
