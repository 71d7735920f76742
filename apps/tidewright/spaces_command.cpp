// tidewright spaces — every configured space: its name, the service's address, this device's identifier
// there, and where it is mounted.
#include <filesystem>
#include <iostream>
#include <set>

#include "commands.h"
#include "config_file.h"
#include "mount/control_channel.h"
#include "mount/mount.h"
#include "terminal_text.h"

namespace tw::cli {

namespace {

// The names of the configured spaces: one a file in spaces/, and the default one of domain.json.
std::set<std::string> configuredSpaces() {
    std::set<std::string> names;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(configFolder() / "spaces", error)) {
        const auto& path = entry.path();
        if (path.extension() == ".json" && mount::isSpaceName(path.stem().string()))
            names.insert(path.stem().string());
    }
    if (std::filesystem::exists(configFolder() / "domain.json", error)) names.insert("default");
    return names;
}

std::string stringAt(const std::optional<nlohmann::json>& config, const char* key) {
    if (!config || !config->contains(key) || !(*config)[key].is_string()) return {};
    return (*config)[key].get<std::string>();
}

// The text, or null when there is none.
nlohmann::ordered_json orNull(const std::string& text) {
    return text.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(text);
}

// Where the space's running mount says it is mounted; empty when none answers.
std::string mountpointOf(const std::string& space) {
    try {
        if (const auto answer = mount::requestStatus(space)) return answer->identity.mountpoint;
    } catch (const std::exception&) {
    }
    return {};
}

}  // namespace

void addSpacesCommand(CLI::App& app, StandaloneAction* chosen) {
    auto* command = app.add_subcommand("spaces", "List the configured spaces and where each is mounted");
    command->callback([chosen] {
        *chosen = [](const Options& options) {
            for (const auto& name : configuredSpaces()) {
                std::optional<nlohmann::json> config;
                try {
                    config = readConfig(spaceConfigPath(name), true);
                } catch (const UsageError& unreadable) {
                    std::cerr << "tidewright: " << unreadable.what() << "\n";
                }
                const auto base = stringAt(config, "base"), device = stringAt(config, "deviceId");
                const auto at = mountpointOf(name);
                if (options.json) {
                    nlohmann::ordered_json line = {{"space", name},
                                                   {"base", orNull(base)},
                                                   {"deviceId", orNull(device)},
                                                   {"mountpoint", nullptr}};
                    if (!at.empty()) line["mountpoint"] = at;
                    std::cout << line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
                } else {
                    std::cout << terminalText(name) << "  " << terminalText(base.empty() ? "-" : base) << "  "
                              << (device.empty() ? "no paired device" : "device " + terminalText(device))
                              << "  " << (at.empty() ? "not mounted" : "mounted at " + terminalText(at))
                              << "\n";
                }
            }
            return 0;
        };
    });
}

}  // namespace tw::cli
