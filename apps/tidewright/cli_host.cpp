#include "cli_host.h"

#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <iostream>

#include "config_file.h"
#include "host_calls/leftovers.h"
#include "platform/log.h"
#include "records/config.h"
#include "terminal_text.h"

namespace tw::cli {
namespace {

std::string formatDate(const std::optional<host::Date>& date) {
    if (!date) return "-";
    const auto seconds = static_cast<std::time_t>(std::floor(date->secondsSince1970));
    std::tm local{};
    localtime_r(&seconds, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M", &local);
    return text;
}

}  // namespace

std::filesystem::path configFolder() {
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg)
        return std::filesystem::path(xdg) / "tidewright";
    const char* home = std::getenv("HOME");
    return std::filesystem::path(home ? home : ".") / ".config" / "tidewright";
}

std::filesystem::path spaceConfigPath(const std::string& name) {
    const auto folder = configFolder();
    const auto own = folder / "spaces" / (name + ".json");
    std::error_code error;
    if (name == "default" && !std::filesystem::exists(own, error)) return folder / "domain.json";
    return own;
}

std::filesystem::path configPath(const Options& options) {
    if (options.configFile) return *options.configFile;
    if (const char* env = std::getenv("TIDEWRIGHT_CONFIG"); env && *env && options.space == "default")
        return env;
    return spaceConfigPath(options.space);
}

CliHost::CliHost(Options options, std::stop_token stop)
    : options_(std::move(options)), stop_(std::move(stop)) {
    if (options_.verbose) {
        // A message may quote the service (an error code it sent): escaped like the readable output.
        setLogSink(descriptorSink(STDERR_FILENO, terminalText));
    } else {
        setLogSink([](const LogRecord&) {});  // the extension's log is for --verbose only
    }
    const char* env = std::getenv("TIDEWRIGHT_CONFIG");
    // A space other than the default one is named, as a file is.
    const bool named = options_.configFile || (env && *env) || options_.space != "default";
    const auto path = configPath(options_);
    host::Domain domain{.identifier = options_.space,
                        .displayName = options_.displayName,
                        .userInfo = readConfig(path, named)};
    if (domain.userInfo) {
        if (auto config = Config::fromUserInfo(domain.userInfo); !config) {
            std::cerr
                << "warning: " << path.string()
                << " does not configure the domain (it needs \"base\" and \"token\" strings without control "
                   "characters)\n";
        }
    }
    extension_ = FileProviderExtension::make(std::move(domain));
    hostcalls::removeLeftovers(extension_->domain(), FileProviderExtension::cacheFolderName);
}

hostcalls::Limits CliHost::limits(std::function<void(const Progress&)> watch) const {
    return {.stop = stop_, .windDown = std::chrono::seconds(5), .watch = std::move(watch)};
}

host::ItemIdentifier CliHost::identifierFor(const std::string& word) {
    if (word == "root") return host::rootContainer;
    if (word == "trash") return host::trashContainer;
    return word;
}

host::ItemIdentifier CliHost::containerFor(const std::string& word) {
    return word == "working-set" ? host::workingSet : identifierFor(word);
}

std::string CliHost::wordFor(const host::ItemIdentifier& identifier) {
    if (identifier == host::rootContainer) return "root";
    if (identifier == host::trashContainer) return "trash";
    if (identifier == host::workingSet) return "working-set";
    return identifier;
}

host::ItemPointer CliHost::item(const host::ItemIdentifier& identifier) {
    return hostcalls::item(*extension_, identifier, limits());
}

hostcalls::Delivered CliHost::fetchContents(const host::ItemIdentifier& identifier,
                                            const std::function<void(const Progress&)>& watch) {
    return hostcalls::fetchContents(*extension_, identifier, std::nullopt, limits(watch));
}

hostcalls::DeliveredRange CliHost::fetchPartialContents(const host::ItemIdentifier& identifier,
                                                        host::ByteRange range, std::int64_t alignment) {
    return hostcalls::fetchPartialContents(*extension_, identifier, host::ItemVersion{}, range, alignment,
                                           limits());
}

nlohmann::json CliHost::toJson(const host::Item& item) {
    const auto version = item.itemVersion();
    nlohmann::json object = {
        {"id", item.itemIdentifier()},
        {"parent", item.parentItemIdentifier()},
        {"filename", item.filename()},
        {"contentType",
         item.contentType() ? item.contentType()->identifier() : ContentType::item().identifier()},
        {"capabilities", item.capabilities()},
        {"contentVersion", version.contentVersion},
        {"metadataVersion", version.metadataVersion},
    };
    if (auto size = item.documentSize()) object["size"] = *size;
    if (auto created = item.creationDate()) object["created"] = created->secondsSince1970;
    if (auto modified = item.contentModificationDate()) object["modified"] = modified->secondsSince1970;
    return object;
}

void CliHost::printItem(const host::Item& item) const {
    if (options_.json) return printJson(toJson(item));
    const auto size = item.documentSize();
    std::cout << terminalText(wordFor(item.itemIdentifier())) << "\t"
              << terminalText(wordFor(item.parentItemIdentifier())) << "\t" << terminalText(item.filename())
              << "\t" << (item.contentType() ? terminalText(item.contentType()->identifier()) : "-") << "\t"
              << (size ? std::to_string(*size) : "-") << "\t" << formatDate(item.contentModificationDate())
              << "\n";
}

void CliHost::printAnchor(const std::string& anchor) const {
    if (options_.json) return printJson({{"anchor", anchor}});
    std::cout << "anchor " << terminalText(anchor) << "\n" << std::flush;
}

void CliHost::printErrorTo(std::ostream& out, const Error& error, bool json) {
    const std::string message = error.userInfo().localizedDescription.value_or(error.what());
    if (json)
        out << jsonLine(
            {{"error", {{"domain", error.domain()}, {"code", error.code()}, {"message", message}}}});
    else
        out << "error: " << terminalText(error.domain()) << " " << error.code() << ": "
            << terminalText(message) << "\n";
    out << std::flush;
}

std::string CliHost::jsonLine(const nlohmann::json& object) {
    return object.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

void CliHost::printJson(const nlohmann::json& object) const {
    std::cout << jsonLine(object) << std::flush;
}

host::ItemPointer CliHost::createItem(const hostcalls::TemplateItem& itemTemplate,
                                      std::optional<std::filesystem::path> contents, std::uint64_t options,
                                      const Watch& watch) {
    return hostcalls::createItem(*extension_, itemTemplate.share(), itemTemplate.changedFields(),
                                 std::move(contents), options, limits(watch))
        .item;
}

hostcalls::Changed CliHost::modifyItem(const hostcalls::TemplateItem& item,
                                       const host::ItemVersion& baseVersion,
                                       std::optional<std::filesystem::path> contents, const Watch& watch) {
    return hostcalls::modifyItem(*extension_, item.share(), baseVersion, item.changedFields(),
                                 std::move(contents), 0, limits(watch));
}

void CliHost::deleteItem(const host::ItemIdentifier& identifier) {
    hostcalls::deleteItem(*extension_, identifier, host::ItemVersion{}, 0, limits());
}

}  // namespace tw::cli
