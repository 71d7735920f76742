// --bwlimit-down RATE and --bwlimit-up RATE: the rates every transfer of the process shares.
#include "byte_size.h"
#include "commands.h"
#include "platform/http/rate_limit.h"

namespace tw::cli {

void addRateOptions(CLI::App& command) {
    const CLI::Validator rate(
        [](const std::string& text) {
            try {
                return parseByteSize(text) > 0 ? std::string() : "a rate of 0 moves nothing";
            } catch (const UsageError& refused) {
                return std::string(refused.what());
            }
        },
        "RATE");
    command
        .add_option_function<std::string>(
            "--bwlimit-down",
            [](const std::string& text) { http::receiveLimit().setRate(parseByteSize(text)); },
            "bytes a second received at most, all transfers together (K, M, G: powers of 1024)")
        ->check(rate);
    command
        .add_option_function<std::string>(
            "--bwlimit-up", [](const std::string& text) { http::sendLimit().setRate(parseByteSize(text)); },
            "bytes a second sent at most, all transfers together (K, M, G: powers of 1024)")
        ->check(rate);
}

}  // namespace tw::cli
