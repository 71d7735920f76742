// tidewright cat ID [--chunk BYTES] [--align BYTES] — the whole file on stdout through partial fetches, as a
// mount reads it.
#include <fcntl.h>
#include <sys/sendfile.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <filesystem>
#include <future>
#include <system_error>
#include <vector>

#include "commands.h"

namespace tw::cli {
namespace {

// Stdout was closed by its reader: the command ends quietly.
struct ClosedOutput {};

// Writes bytes [from, to) of `file` to stdout.
void copyToStdout(const std::filesystem::path& file, std::int64_t from, std::int64_t to) {
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw std::system_error(errno, std::generic_category(), "cannot open " + file.string());
    off_t offset = from;
    int error = 0;
    bool plain = false;  // sendfile(2) refused this stdout: read and write instead
    std::vector<char> buffer;
    while (offset < to && error == 0) {
        const auto want = static_cast<std::size_t>(std::min<std::int64_t>(to - offset, 8 << 20));
        ssize_t n;
        if (!plain) {
            n = ::sendfile(STDOUT_FILENO, fd, &offset, want);
            if (n < 0 && (errno == EINVAL || errno == ENOSYS)) {
                plain = true;
                continue;
            }
        } else {
            buffer.resize(1 << 20);
            n = ::pread(fd, buffer.data(), std::min(want, buffer.size()), offset);
            for (ssize_t done = 0; n > 0 && done < n;) {
                const ssize_t m =
                    ::write(STDOUT_FILENO, buffer.data() + done, static_cast<std::size_t>(n - done));
                if (m < 0 && errno != EINTR) {
                    n = -1;
                    break;
                }
                if (m > 0) done += m;
            }
            if (n > 0) offset += n;
        }
        if (n < 0 && errno != EINTR) error = errno;
        if (n == 0) error = EIO;  // the file is shorter than the range it was said to hold
    }
    ::close(fd);
    if (error == EPIPE) throw ClosedOutput{};
    if (error != 0) throw std::system_error(error, std::generic_category(), "cannot write the output");
}

// The fetch of the bytes after those being written. Whatever it delivers and nobody takes is deleted.
struct NextFetch {
    std::future<hostcalls::DeliveredRange> delivery;
    ~NextFetch() {
        if (!delivery.valid()) return;
        try {
            std::error_code ignored;
            std::filesystem::remove(delivery.get().file, ignored);
        } catch (...) {
        }
    }
};

}  // namespace

void addCatCommand(CLI::App& app, Action* chosen) {
    struct Arguments {
        std::string id;
        std::int64_t chunk = 65'536;
        std::int64_t alignment = 4'096;
    };
    auto arguments = std::make_shared<Arguments>();
    auto* command = app.add_subcommand("cat", "Write a file's contents to stdout through ranged reads");
    addRateOptions(*command);
    command->add_option("ID", arguments->id, "item identifier")->required();
    command->add_option("--chunk", arguments->chunk, "bytes asked for by each read")
        ->capture_default_str()
        ->check(CLI::PositiveNumber);
    command->add_option("--align", arguments->alignment, "alignment in bytes")
        ->capture_default_str()
        ->check(CLI::NonNegativeNumber);
    command->callback([chosen, arguments] {
        *chosen = [arguments](CliHost& host) {
            std::signal(SIGPIPE, SIG_IGN);  // a reader that goes away is seen as EPIPE
            const auto identifier = CliHost::identifierFor(arguments->id);
            std::int64_t written = 0;
            std::optional<std::int64_t> size;
            NextFetch next;
            try {
                while (!size || written < *size) {
                    hostcalls::DeliveredRange delivered;
                    try {
                        delivered = next.delivery.valid()
                                        ? next.delivery.get()
                                        : host.fetchPartialContents(identifier, {written, arguments->chunk},
                                                                    arguments->alignment);
                    } catch (const Error& error) {
                        // A read at 0 of an empty file is past its end; only the item can tell.
                        const bool pastEnd = isFileProviderError(error, FileProviderErrorCode::noSuchItem);
                        if (written == 0 && pastEnd && host.item(identifier)->documentSize() == 0) return 0;
                        throw;
                    }
                    size = delivered.item->documentSize().value_or(0);
                    const std::int64_t end = delivered.range.location + delivered.range.length;
                    std::error_code ignored;
                    if (delivered.range.location > written || end <= written) {
                        std::filesystem::remove(delivered.file, ignored);
                        throw Error("tidewright", 1, {},
                                    "a read at " + std::to_string(written) + " delivered bytes " +
                                        std::to_string(delivered.range.location) + " to " +
                                        std::to_string(end));
                    }
                    // The next bytes come while these go out: asked at the first byte not yet written
                    // once these are.
                    if (end < *size)
                        next.delivery = std::async(std::launch::async, [&host, identifier, end, arguments] {
                            return host.fetchPartialContents(identifier, {end, arguments->chunk},
                                                             arguments->alignment);
                        });
                    try {
                        copyToStdout(delivered.file, written, end);
                    } catch (...) {
                        std::filesystem::remove(delivered.file, ignored);
                        throw;
                    }
                    std::filesystem::remove(delivered.file, ignored);  // the host's file: used, gone
                    written = end;
                }
            } catch (const ClosedOutput&) {
                return 0;
            }
            return 0;
        };
    });
}

}  // namespace tw::cli
