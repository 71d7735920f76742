#pragma once
// The command-line host: one extension for one domain, host calls made exactly as a desktop host would,
// and their answers printed (a readable line, or one JSON object a line with --json).

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <stop_token>
#include <string>

#include <nlohmann/json.hpp>

#include "host_calls/item_calls.h"
#include "host_calls/limits.h"
#include "host_calls/template_item.h"
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
    std::string space = "default";  // the domain's identifier: its configuration, state file and cache
    std::string displayName = "Tidewright";
    bool json = false;
    bool verbose = false;
};

// $XDG_CONFIG_HOME/tidewright (~/.config/tidewright when unset).
std::filesystem::path configFolder();
// The configuration of the space `name`: spaces/NAME.json in configFolder(); for "default", domain.json
// there for as long as spaces/default.json does not exist (the file of the time before spaces).
std::filesystem::path spaceConfigPath(const std::string& name);
// Where the domain configuration is read from: --config, else (for the default space) $TIDEWRIGHT_CONFIG,
// else spaceConfigPath(options.space).
std::filesystem::path configPath(const Options& options);

class CliHost {
public:
    // Reads the configuration (a missing default file leaves the domain unconfigured; a named file that
    // cannot be read, or that is not a JSON object, is a UsageError), creates the extension and removes
    // what fetches of earlier runs left in the domain's temporary folder (hostcalls::removeLeftovers). A
    // stop requested on `stop` gives up the host call being waited for, and every later one.
    explicit CliHost(Options options, std::stop_token stop = {});

    FileProviderExtension& extension() { return *extension_; }

    // What every wait of this host is given: no deadline (the extension's own time-outs end a call), the
    // stop, and five seconds for a call given up on to clean up after itself before the command ends.
    // `watch` as in hostcalls::Limits.
    hostcalls::Limits limits(std::function<void(const Progress&)> watch = {}) const;

    // "root" and "trash" name the containers; any other word is an item identifier.
    static host::ItemIdentifier identifierFor(const std::string& word);
    // As identifierFor, and "working-set" names the working set (it can be enumerated, not looked up).
    static host::ItemIdentifier containerFor(const std::string& word);
    // The inverse of containerFor: the readable output names the containers as the command line does.
    static std::string wordFor(const host::ItemIdentifier& identifier);

    // One host call each, waited for within limits(): the item, or the host error it completed with.
    host::ItemPointer item(const host::ItemIdentifier& identifier);

    // One whole-file fetch; `watch` is called with its progress about ten times a second until it
    // completes. The delivered file is the caller's.
    hostcalls::Delivered fetchContents(const host::ItemIdentifier& identifier,
                                       const std::function<void(const Progress&)>& watch = {});
    hostcalls::DeliveredRange fetchPartialContents(const host::ItemIdentifier& identifier,
                                                   host::ByteRange range, std::int64_t alignment);

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

    // The three mutations, each one host call waited for, with the template's changed fields; `watch` is
    // called with the call's progress about ten times a second until it completes.
    using Watch = std::function<void(const Progress&)>;
    host::ItemPointer createItem(const hostcalls::TemplateItem& itemTemplate,
                                 std::optional<std::filesystem::path> contents, std::uint64_t options,
                                 const Watch& watch = {});
    hostcalls::Changed modifyItem(const hostcalls::TemplateItem& item, const host::ItemVersion& baseVersion,
                                  std::optional<std::filesystem::path> contents, const Watch& watch = {});
    void deleteItem(const host::ItemIdentifier& identifier);

private:
    Options options_;
    std::stop_token stop_;
    std::shared_ptr<FileProviderExtension> extension_;
};

}  // namespace tw::cli
