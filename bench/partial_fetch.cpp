// One partial fetch of the extension, timed alone: the item's download address is opened and the
// connections made by a first small fetch, then one fetch of LENGTH bytes from OFFSET (a read that is not
// sequential, so exactly the asked range, in parallel pieces from 2 MiB) is timed to its completion.
//
//   partial_fetch BASE TOKEN ID OFFSET LENGTH     prints "SECONDS BYTES", leaves no file behind

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <iostream>
#include <string>

#include "platform/log.h"
#include "provider/extension.h"

namespace {

std::int64_t fetch(tw::FileProviderExtension& extension, const std::string& id, tw::host::ByteRange range) {
    std::promise<std::int64_t> done;
    extension.fetchPartialContents(id, {}, {}, range, 1, 0,
                                   [&done](std::optional<std::filesystem::path> file, tw::host::ItemPointer,
                                           tw::host::ByteRange delivered, tw::host::MaterializationFlags,
                                           std::optional<tw::Error> error) {
                                       if (error) {
                                           std::cerr << "partial_fetch: " << error->what() << "\n";
                                           std::exit(1);
                                       }
                                       std::filesystem::remove(*file);
                                       done.set_value(delivered.length);
                                   });
    return done.get_future().get();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 6) {
        std::cerr << "usage: partial_fetch BASE TOKEN ID OFFSET LENGTH\n";
        return 2;
    }
    auto extension =
        tw::FileProviderExtension::make({.identifier = "bench",
                                         .displayName = "bench",
                                         .userInfo = nlohmann::json{{"base", argv[1]}, {"token", argv[2]}}});
    const std::string id = argv[3];
    const std::int64_t offset = std::stoll(argv[4]), length = std::stoll(argv[5]);
    fetch(*extension, id, {offset + length, 4 * 1048576});  // opens, and makes the pieces' connections
    const auto start = std::chrono::steady_clock::now();
    const std::int64_t bytes = fetch(*extension, id, {offset, length});
    const std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - start;
    std::cout << seconds.count() << " " << bytes << std::endl;
    std::_Exit(0);
}
