// tidewright read ID OFFSET LENGTH [--align BYTES] [--out FILE] — one partial fetch.
#include <filesystem>
#include <iostream>

#include "commands.h"
#include "platform/files.h"
#include "terminal_text.h"

namespace tw::cli {

void addReadCommand(CLI::App& app, Action* chosen) {
    struct Arguments {
        std::string id;
        std::int64_t offset = 0;
        std::int64_t length = 0;
        std::int64_t alignment = 1;
        std::string out;
    };
    auto arguments = std::make_shared<Arguments>();
    auto* command = app.add_subcommand("read", "Fetch a byte range of a file into a file of its own");
    command->add_option("ID", arguments->id, "item identifier")->required();
    command->add_option("OFFSET", arguments->offset, "first byte")->required()->check(CLI::NonNegativeNumber);
    command->add_option("LENGTH", arguments->length, "bytes")->required()->check(CLI::NonNegativeNumber);
    command->add_option("--align", arguments->alignment, "alignment in bytes")->check(CLI::NonNegativeNumber);
    command->add_option("--out", arguments->out, "move the delivered file here (replacing it)");
    command->callback([chosen, arguments] {
        *chosen = [arguments](CliHost& host) {
            auto delivered =
                host.fetchPartialContents(CliHost::identifierFor(arguments->id),
                                          {arguments->offset, arguments->length}, arguments->alignment);
            if (!arguments->out.empty()) {
                try {
                    moveFile(delivered.file, arguments->out, /*replace=*/true, ".tidewright-move-");
                } catch (...) {
                    std::error_code ignored;
                    std::filesystem::remove(delivered.file, ignored);
                    throw;
                }
                delivered.file = arguments->out;
            }
            host.printItem(*delivered.item);
            if (host.json())
                host.printJson({{"offset", delivered.range.location},
                                {"length", delivered.range.length},
                                {"file", delivered.file.string()}});
            else
                std::cout << "range\t" << delivered.range.location << "\t" << delivered.range.length << "\t"
                          << terminalText(delivered.file.string()) << "\n";
            return 0;
        };
    });
}

}  // namespace tw::cli
