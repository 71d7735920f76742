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
#include <utility>

#include "platform/log.h"
#include "provider/extension.h"

namespace {

// The delivered file and the length of the range it holds.
std::pair<std::filesystem::path, std::int64_t> fetch(tw::FileProviderExtension& extension,
                                                     const std::string& id, tw::host::ByteRange range) {
    std::promise<std::pair<std::filesystem::path, std::int64_t>> done;
    extension.fetchPartialContents(id, {}, {}, range, 1, 0,
                                   [&done](std::optional<std::filesystem::path> file, tw::host::ItemPointer,
                                           tw::host::ByteRange delivered, tw::host::MaterializationFlags,
                                           std::optional<tw::Error> error) {
                                       if (error) {
                                           std::cerr << "partial_fetch: " << error->what() << "\n";
                                           std::exit(1);
                                       }
                                       done.set_value({*file, delivered.length});
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
    // Opens, and makes the pieces' connections.
    std::filesystem::remove(fetch(*extension, id, {offset + length, 4 * 1048576}).first);
    const auto start = std::chrono::steady_clock::now();
    const auto [file, bytes] = fetch(*extension, id, {offset, length});
    const std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - start;
    // Removed once timed, as curl's file is: dropping 32 MiB of page cache is no part of the fetch.
    std::filesystem::remove(file);
    std::cout << seconds.count() << " " << bytes << std::endl;
    std::_Exit(0);
}
