// tidewright pair BASE --name DEVICE_NAME [--secret-file FILE] [--force] — pairs this machine with a space
// and writes the domain configuration.
// tidewright revoke [--forget] — withdraws the configured device.
#include <termios.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iostream>

#include "commands.h"
#include "config_file.h"
#include "provider/device_pairing.h"
#include "records/config.h"

namespace tw::cli {
namespace {

// A secret is a short text; more than this is not one.
constexpr std::size_t secretLimit = 4096;

// Echo off on the terminal for as long as it lives.
class NoEcho {
public:
    NoEcho() : active_(::tcgetattr(STDIN_FILENO, &saved_) == 0) {
        termios quiet = saved_;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        active_ = active_ && ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet) == 0;
    }
    ~NoEcho() {
        if (active_) ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved_);
    }
    NoEcho(const NoEcho&) = delete;
    NoEcho& operator=(const NoEcho&) = delete;

private:
    termios saved_{};
    bool active_;
};

// The secret's text from FILE, or from standard input (without echo on a terminal): its first line.
std::string readSecret(const std::string& file) {
    std::string secret;
    if (!file.empty()) {
        std::ifstream in(file, std::ios::binary);
        if (!in) throw UsageError("cannot read the secret file " + file);
        std::getline(in, secret);
    } else if (::isatty(STDIN_FILENO)) {
        std::cerr << "pairing secret: " << std::flush;
        {
            NoEcho quiet;
            std::getline(std::cin, secret);
        }
        std::cerr << "\n";
    } else {
        std::getline(std::cin, secret);
    }
    if (!secret.empty() && secret.back() == '\r') secret.pop_back();
    if (secret.empty()) throw UsageError("no pairing secret was given");
    if (secret.size() > secretLimit) throw UsageError("the pairing secret is too long");
    return secret;
}

Error pairingError(const std::string& what) {
    return Error("tidewright", 1, {}, what);
}

}  // namespace

void addPairCommand(CLI::App& app, StandaloneAction* chosen) {
    struct Arguments {
        std::string base, name, secretFile;
        bool force = false;
    };
    auto arguments = std::make_shared<Arguments>();
    auto* command = app.add_subcommand(
        "pair",
        "Pair this machine with a space and write the domain configuration (the secret is read from "
        "--secret-file, else from standard input)");
    command->add_option("BASE", arguments->base, "the service's address, http://HOST:PORT")->required();
    command->add_option("--name", arguments->name, "this device's name as the service shows it")->required();
    command->add_option("--secret-file", arguments->secretFile,
                        "file whose first line is the pairing secret");
    command->add_flag("--force", arguments->force, "replace an existing configuration");
    command->callback([chosen, arguments] {
        *chosen = [arguments](const Options& options) {
            const auto path = configPath(options);
            // Refused before anything is sent: a device paired for nothing would stay on the service.
            if (!arguments->force && std::filesystem::exists(path)) {
                CliHost::printErrorTo(
                    std::cerr,
                    pairingError("a configuration exists at " + path.string() + " (--force replaces it)"),
                    options.json);
                return 1;
            }
            const std::string secret = readSecret(arguments->secretFile);
            std::optional<Config> paired;
            try {
                paired = pairDevice(arguments->base, secret, arguments->name);
            } catch (const Error& error) {
                CliHost::printErrorTo(std::cerr, pairingError(error.what()), options.json);
                return 1;
            }
            writeConfig(path, paired->userInfo(), arguments->force);
            const nlohmann::ordered_json answer = {
                {"paired", true}, {"deviceId", paired->deviceId}, {"config", path}};
            std::cout << answer.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
            return 0;
        };
    });
}

void addRevokeCommand(CLI::App& app, StandaloneAction* chosen) {
    auto forget = std::make_shared<bool>(false);
    auto* command = app.add_subcommand("revoke", "Withdraw this device from its space");
    command->add_flag("--forget", *forget, "remove the configuration once the device is withdrawn");
    command->callback([chosen, forget] {
        *chosen = [forget](const Options& options) {
            const auto path = configPath(options);
            const auto config = Config::fromUserInfo(readConfig(path, /*named=*/true));
            if (!config) throw UsageError(path.string() + " does not configure a domain");
            // A device the service no longer knows was revoked before (from here or elsewhere): its
            // configuration opens nothing any more, and --forget removes it as after a revocation.
            const Revocation outcome = revokeDevice(*config);
            const bool revoked = outcome != Revocation::failed;
            if (revoked && *forget) std::filesystem::remove(path);
            nlohmann::ordered_json answer = {{"revoked", revoked}};
            if (outcome == Revocation::alreadyRevoked) answer["alreadyRevoked"] = true;
            std::cout << answer.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
            return revoked ? 0 : 1;
        };
    });
}

}  // namespace tw::cli
