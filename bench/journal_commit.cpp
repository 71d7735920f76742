// What one close of a small written file cannot go below on a file system: its bytes flushed (fdatasync),
// then its journal row committed, as the mount's write-back does before close() returns.
//
//   journal_commit FOLDER [COUNT]      (default 200; FOLDER must not exist yet, it is removed at the end)
//
// COUNT times: 4 KiB written into a new file in FOLDER (not timed), then, timed, one fdatasync of it and one
// StateStore::putPendingChange (the mount's own journal, in a state file in FOLDER: WAL, synchronous=FULL).
// Prints one line the script reads:
//   SECONDS FDATASYNC_SECONDS COMMIT_SECONDS
// the mean of the pair, and of each alone, in seconds.

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "mount/state_store.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds(Clock::duration duration) {
    return std::chrono::duration<double>(duration).count();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) {
        std::cerr << "usage: journal_commit FOLDER [COUNT]\n";
        return 2;
    }
    const std::filesystem::path folder = argv[1];
    const int count = argc == 3 ? std::stoi(argv[2]) : 200;
    if (!std::filesystem::create_directory(folder)) {
        std::cerr << "journal_commit: " << folder << " exists already\n";
        return 2;
    }
    // The state file's folder is to be private, as the mount's is.
    std::filesystem::permissions(folder, std::filesystem::perms::owner_all);
    const std::vector<char> bytes(4096, 'x');
    Clock::duration flushing{}, committing{};
    {
        tw::mount::StateStore store(folder / "state.db");
        for (int i = 0; i < count; ++i) {
            const auto name = "file-" + std::to_string(i);
            const int fd = ::open((folder / name).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
            if (fd < 0 || ::write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
                std::perror("journal_commit: cannot write a file");
                return 1;
            }
            const auto start = Clock::now();
            if (::fdatasync(fd) != 0) {
                std::perror("journal_commit: fdatasync");
                return 1;
            }
            const auto flushed = Clock::now();
            store.putPendingChange({.identifier = "local-" + std::to_string(i),
                                    .cacheIdentity = "local-" + std::to_string(i),
                                    .parent = "bench-folder",
                                    .name = name});
            const auto committed = Clock::now();
            ::close(fd);
            flushing += flushed - start;
            committing += committed - flushed;
        }
    }
    std::filesystem::remove_all(folder);
    std::cout << (seconds(flushing) + seconds(committing)) / count << " " << seconds(flushing) / count << " "
              << seconds(committing) / count << std::endl;
    return 0;
}
