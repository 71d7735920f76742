// tidewright item ID — looks one item up.
#include "commands.h"

namespace tw::cli {

void addItemCommand(CLI::App& app, Action* chosen) {
    auto word = std::make_shared<std::string>();
    auto* command = app.add_subcommand("item", "Look an item up ('root' and 'trash' name the containers)");
    command->add_option("ID", *word, "item identifier, or root / trash")->required();
    command->callback([chosen, word] {
        *chosen = [word](CliHost& host) {
            host.printItem(*host.item(CliHost::identifierFor(*word)));
            return 0;
        };
    });
}

}  // namespace tw::cli
