#pragma once
// The command-line host: one extension for one domain, host calls made exactly as a desktop host would,
// and their answers printed (a readable line, or one JSON object a line with --json).

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <string>

#include <nlohmann/json.hpp>

#include "platform/error.h"
#include "platform/host/item.h"
#include "provider/extension.h"

namespace tw::cli {

// A failure the user caused on the command line (exit status 2).
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct Options {
    std::optional<std::filesystem::path> configFile;
    std::string displayName = "Tidewright";
    bool json = false;
    bool verbose = false;
};

// Where the domain configuration is read from: --config, else $TIDEWRIGHT_CONFIG, else
// $XDG_CONFIG_HOME/tidewright/domain.json (~/.config/... when unset).
std::filesystem::path configPath(const Options& options);

// A file a fetch delivered (the host's to keep or delete), the item it holds, and the range it holds.
struct Delivered {
    std::filesystem::path file;
    host::ItemPointer item;
    host::ByteRange range;
};

// An item as this host hands it to the extension: only what a command says (an identifier, a name, a
// parent, a content type); what the command leaves out stays empty and its changed-field bit unset.
class CommandItem : public host::Item {
public:
    CommandItem(host::ItemIdentifier identifier, host::ItemIdentifier parent, std::string filename,
                std::optional<ContentType> type = std::nullopt)
        : identifier_(std::move(identifier)),
          parent_(std::move(parent)),
          filename_(std::move(filename)),
          type_(std::move(type)) {}
    host::ItemIdentifier itemIdentifier() const override { return identifier_; }
    host::ItemIdentifier parentItemIdentifier() const override { return parent_; }
    std::string filename() const override { return filename_; }
    std::optional<ContentType> contentType() const override { return type_; }

private:
    host::ItemIdentifier identifier_, parent_;
    std::string filename_;
    std::optional<ContentType> type_;
};

class CliHost {
public:
    // Reads the configuration (a missing default file leaves the domain unconfigured; a named file that
    // cannot be read, or that is not a JSON object, is a UsageError) and creates the extension.
    explicit CliHost(Options options);

    FileProviderExtension& extension() { return *extension_; }

    // "root" and "trash" name the containers; any other word is an item identifier.
    static host::ItemIdentifier identifierFor(const std::string& word);
    // As identifierFor, and "working-set" names the working set (it can be enumerated, not looked up).
    static host::ItemIdentifier containerFor(const std::string& word);
    // The inverse of containerFor: the readable output names the containers as the command line does.
    static std::string wordFor(const host::ItemIdentifier& identifier);

    // One host call, waited for: the item, or the host error it completed with.
    host::ItemPointer item(const host::ItemIdentifier& identifier);

    // One whole-file fetch, waited for; `watch` is called with its progress about ten times a second until
    // it completes. Throws the host error it completed with.
    Delivered fetchContents(const host::ItemIdentifier& identifier,
                            const std::function<void(const Progress&)>& watch = {});
    // One partial fetch, waited for. Throws the host error it completed with.
    Delivered fetchPartialContents(const host::ItemIdentifier& identifier, host::ByteRange range,
                                   std::int64_t alignment);

    // Readable output shows text through terminalText (terminal_text.h): nothing the service sends can
    // break a line or reach the terminal as a control sequence. JSON output keeps every text exact; bytes
    // that are not UTF-8 (which the service cannot send) become U+FFFD there.
    bool json() const { return options_.json; }
    // The item's toJson with --json, else one line: id, parent, name, type, size, modification time,
    // separated by tabs.
    void printItem(const host::Item& item) const;
    // {"anchor":"TEXT"} with --json, else "anchor TEXT".
    void printAnchor(const std::string& anchor) const;
    // Prints the error (domain, code, message) on `out` as one line, a JSON object when `json`.
    static void printErrorTo(std::ostream& out, const Error& error, bool json);
    void printJson(const nlohmann::json& object) const;
    // The object as one line of JSON; never throws on text that is not UTF-8.
    static std::string jsonLine(const nlohmann::json& object);

    static nlohmann::json toJson(const host::Item& item);

    // The three mutations, each one host call waited for; `watch` is called with the call's progress about
    // ten times a second until it completes. Each throws the host error its call completed with.
    using Watch = std::function<void(const Progress&)>;
    host::ItemPointer createItem(host::ItemPointer itemTemplate,
                                 std::optional<std::filesystem::path> contents, std::uint64_t options,
                                 const Watch& watch = {});
    // The item as the service now has it, and whether the host should fetch its contents again (the local
    // contents went up as a conflicting copy).
    std::pair<host::ItemPointer, bool> modifyItem(host::ItemPointer item,
                                                  const host::ItemVersion& baseVersion,
                                                  host::ItemFieldSet changedFields,
                                                  std::optional<std::filesystem::path> contents,
                                                  const Watch& watch = {});
    void deleteItem(const host::ItemIdentifier& identifier);

private:
    Options options_;
    std::shared_ptr<FileProviderExtension> extension_;
};

}  // namespace tw::cli
