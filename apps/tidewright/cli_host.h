#pragma once
// The command-line host: one extension for one domain, host calls made exactly as a desktop host would,
// and their answers printed (a readable line, or one JSON object a line with --json).

#include <filesystem>
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

class CliHost {
public:
    // Reads the configuration (a missing default file leaves the domain unconfigured; a named file that
    // cannot be read, or that is not a JSON object, is a UsageError) and creates the extension.
    explicit CliHost(Options options);

    FileProviderExtension& extension() { return *extension_; }

    // "root", "trash" and "working-set" name the containers; any other word is an item identifier.
    static host::ItemIdentifier identifierFor(const std::string& word);

    // One host call, waited for: the item, or the host error it completed with.
    host::ItemPointer item(const host::ItemIdentifier& identifier);

    bool json() const { return options_.json; }
    void printItem(const host::Item& item) const;
    // {"anchor":"TEXT"} with --json, else "anchor TEXT".
    void printAnchor(const std::string& anchor) const;
    // Prints the error (domain, code, message) on `out`, as a JSON object when `json`.
    static void printErrorTo(std::ostream& out, const Error& error, bool json);
    void printJson(const nlohmann::json& object) const;

    static nlohmann::json toJson(const host::Item& item);

private:
    Options options_;
    std::shared_ptr<FileProviderExtension> extension_;
};

}  // namespace tw::cli
