#pragma once
// Content types: what kind of thing an item holds, named by an identifier, with a small conformance
// hierarchy, and a registry that maps filename extensions and MIME types to types.
//
// The hierarchy is fixed and small:
//   folder ("public.folder")        conforms to directory
//   directory ("public.directory")  conforms to item
//   symbolic link ("public.symlink") conforms to item
//   data ("public.data")            conforms to item
//   every type made from a MIME type conforms to data
// and every type conforms to itself and to item ("public.item"). A type made from a MIME type is named by
// that MIME type in lower case, without parameters ("application/pdf"); it conforms to no other MIME type.
//
// Values are immutable and safe to share between threads; so are registries once made.

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

namespace tw {

class ContentType {
public:
    static ContentType folder();
    static ContentType directory();
    static ContentType symbolicLink();
    static ContentType data();
    static ContentType item();

    // Lookups in the system registry (ContentTypeRegistry::system()). The extension is given without its
    // dot, in any case; the MIME type in any case, parameters after ';' ignored. Each finds nothing when
    // the registry knows no type for it or when the type found does not conform to conformingTo.
    static std::optional<ContentType> fromFilenameExtension(std::string_view extension,
                                                            const ContentType& conformingTo = data());
    static std::optional<ContentType> fromMIMEType(std::string_view mime,
                                                   const ContentType& conformingTo = data());

    const std::string& identifier() const { return identifier_; }
    // Reflexive and transitive along the hierarchy above.
    bool conforms(const ContentType& other) const;
    // The lower-case MIME type of a type made from one; none for folder, directory, symbolic link, data and
    // item.
    std::optional<std::string> preferredMIMEType() const;
    // The first extension the registry lists for the MIME type, in lower case; none when it lists none and
    // for the well-known types.
    const std::optional<std::string>& preferredFilenameExtension() const { return extension_; }

    // Types are equal when their identifiers are: the same MIME type read from two registries is one type.
    friend bool operator==(const ContentType& a, const ContentType& b) {
        return a.identifier_ == b.identifier_;
    }

private:
    friend class ContentTypeRegistry;
    ContentType(std::string identifier, std::optional<std::string> extension)
        : identifier_(std::move(identifier)), extension_(std::move(extension)) {}
    bool isMIMEType() const;

    std::string identifier_;
    std::optional<std::string> extension_;
};

// A table of MIME types and their filename extensions in the format of /etc/mime.types: one MIME type per
// line followed by zero or more extensions, separated by white space; '#' starts a comment that runs to the
// end of the line. Lines whose first word is not a MIME type (no '/') are skipped. When an extension is
// listed under more than one MIME type, the first line wins; a MIME type listed twice keeps its first
// preferred extension.
class ContentTypeRegistry {
public:
    // Read from /etc/mime.types once, on first use, from whichever thread gets there first. When the file is
    // missing or unreadable the registry is empty and every lookup finds nothing.
    static const ContentTypeRegistry& system();
    // An empty registry when the file cannot be opened.
    static ContentTypeRegistry fromFile(const std::filesystem::path& path);

    // As ContentType::fromFilenameExtension and ContentType::fromMIMEType, against this registry.
    std::optional<ContentType> typeForFilenameExtension(
        std::string_view extension, const ContentType& conformingTo = ContentType::data()) const;
    std::optional<ContentType> typeForMIMEType(std::string_view mime,
                                               const ContentType& conformingTo = ContentType::data()) const;

private:
    std::unordered_map<std::string, ContentType> byMIMEType_;
    std::unordered_map<std::string, ContentType> byExtension_;
};

// The extension of the last path component of filename: the text after its last dot, as given (not folded to
// lower case). Trailing slashes are dropped first, so "docs/a.txt/" gives "txt". Leading dots mark a hidden
// file and never start an extension: ".bashrc", "..", "..bashrc" have none, ".config.json" has "json". There
// is none (empty) when the rest of the component has no dot, or when it ends in a dot ("name."). Only the
// last extension counts: "a.tar.gz" gives "gz".
std::string pathExtension(std::string_view filename);

}  // namespace tw
