// Ranged reads: the read-ahead, range requests in parallel pieces, and the sparse file that holds them.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <system_error>
#include <utility>
#include <vector>

#include "content/read_ahead.h"
#include "platform/file_descriptor.h"
#include "platform/http/content_range.h"
#include "platform/task/task_group.h"
#include "platform/uuid.h"
#include "provider/extension.h"
#include "provider/item.h"
#include "remote/remote.h"

namespace tw {
namespace {

// A new file (mode 0600) that the ranges are written into, removed unless it is handed over. Its first
// `holes` bytes are holes.
//
// A new file is never truncated to length 0: on ext4 that marks it as a file being replaced, and its close
// then starts the writeback of every byte written since, on the closing thread (a 512 MiB range took twice as
// long as curl's). So a range that starts at 0 is left as created, and a failed attempt's bytes go with its
// file rather than through a truncation.
class SparseFile {
public:
    SparseFile(std::filesystem::path path, std::int64_t holes)
        : path_(std::move(path)), fd_(FileDescriptor::open(path_, O_WRONLY | O_CREAT | O_EXCL, 0600)) {
        if (holes > 0 && ::ftruncate(fd_.get(), holes) != 0) {
            const int error = errno;
            fd_.reset();
            ::unlink(path_.c_str());
            throw std::system_error(error, std::generic_category(), "cannot write " + path_.string());
        }
    }
    SparseFile(const SparseFile&) = delete;
    SparseFile& operator=(const SparseFile&) = delete;
    ~SparseFile() {
        fd_.reset();
        if (!handedOver_) ::unlink(path_.c_str());
    }

    int fd() const { return fd_.get(); }
    // Closes the file and gives it up: it is the caller's from now on.
    std::filesystem::path handOver() {
        if (::close(fd_.release()) != 0)
            throw std::system_error(errno, std::generic_category(), "cannot write " + path_.string());
        handedOver_ = true;
        return path_;
    }

private:
    std::filesystem::path path_;
    FileDescriptor fd_;
    bool handedOver_ = false;
};

bool isRefusedAddress(const RemoteError& error) {
    return error.kind() == RemoteError::Case::http && (error.status() == 403 || error.status() == 404);
}

}  // namespace

std::shared_ptr<Progress> FileProviderExtension::fetchPartialContents(
    const host::ItemIdentifier& identifier, const host::ItemVersion&, const host::Request&,
    host::ByteRange minimalRange, std::int64_t alignment, host::FetchContentsOptions,
    host::PartialFetchCompletion completionHandler) {
    return run(
        Progress::make(1),
        [completionHandler](Error error) {
            completionHandler(std::nullopt, nullptr, {0, 0}, 0, std::move(error));
        },
        [this, identifier, minimalRange, alignment, completionHandler]() -> Finish {
            const auto [location, length] = minimalRange;
            // A range the host cannot mean is no range of the file.
            if (location < 0 || length < 0) throw fileProviderError(FileProviderErrorCode::noSuchItem);
            Opened opened = open(identifier, /*force=*/false);
            if (!manager_) throw fileProviderError(FileProviderErrorCode::cannotSynchronize);
            const auto directory = manager_->temporaryDirectory();

            const std::int64_t a = alignment >= 2 ? alignment : 1;
            const std::int64_t s = location / a * a;
            std::shared_ptr<SeqState> state;
            std::int64_t chunk = 0;
            {
                std::scoped_lock guard(lock_);
                auto& slot = seqs_[identifier];
                const auto now = std::chrono::steady_clock::now();
                if (!slot) {
                    slot = std::make_shared<SeqState>();
                    dropIdle(seqs_, now);  // a mount that a thumbnailer walks reads every file once
                }
                state = slot;
                state->touched = now;
                chunk = chooseChunk(*state, location);
            }
            // The end of what is fetched from a file of `size` bytes: the range asked, or the chunk when it
            // reaches further, in whole alignments, within the file. Ends clamped to the file before
            // rounding give the same bound, and no sum can overflow whatever the host asks.
            const auto upperFor = [&](std::int64_t size) {
                const auto endWithin = [size](std::int64_t start, std::int64_t span) {
                    return start >= size ? size : start + std::min(span, size - start);
                };
                const std::int64_t askedEnd = roundUp(endWithin(location, length), a);
                return std::min(size, std::max(askedEnd, roundUp(endWithin(s, chunk), a)));
            };
            std::int64_t u = upperFor(opened.node.size);
            if (s >= u) throw fileProviderError(FileProviderErrorCode::noSuchItem);
            {
                std::scoped_lock guard(lock_);
                state->lastStart = s;
                state->lastEnd = u;
            }

            // The bytes before s stay holes; each piece is written at its offset as it arrives.
            std::optional<SparseFile> out;
            out.emplace(directory / randomUUID(), s);
            std::int64_t fetched = 0;
            try {
                fetched = fetchRange(opened, s, u, out->fd());
            } catch (const RemoteError& error) {
                if (!isRefusedAddress(error)) throw;
                // The address expired or was withdrawn: one new one, one more try.
                // The new record may tell another size: a longer file still covers the range asked.
                opened = open(identifier, /*force=*/true);
                u = upperFor(opened.node.size);
                if (s >= u) throw fileProviderError(FileProviderErrorCode::noSuchItem);
                out.reset();  // nothing the refused attempt wrote stays
                out.emplace(directory / randomUUID(), s);
                fetched = fetchRange(opened, s, u, out->fd());
            }
            if (fetched != std::min(u, opened.node.size) - s) throw RemoteError::http(502, "short_read");

            const auto file = out->handOver();
            const host::ByteRange delivered{s, fetched};
            auto item = std::make_shared<Item>(opened.node);
            return [completionHandler, file, item, delivered] {
                completionHandler(file, item, delivered, 0, std::nullopt);
            };
        });
}

std::int64_t FileProviderExtension::fetchRange(const Opened& opened, std::int64_t lower, std::int64_t upper,
                                               int fd) const {
    if (upper - lower < splitThreshold) return getRange(opened, lower, upper, fd);
    const auto pieces = piecesOf(lower, upper);
    std::vector<std::int64_t> written(pieces.size());
    {
        // The first piece to fail cancels the others; wait() awaits them all, then throws that failure.
        TaskGroup group;
        for (std::size_t i = 0; i < pieces.size(); ++i)
            group.spawn([this, &opened, &written, &pieces, i, fd] {
                written[i] = getRange(opened, pieces[i].first, pieces[i].second, fd);
            });
        group.wait();
    }
    std::int64_t total = 0;
    for (const auto n : written)
        total += n;
    return total;
}

std::int64_t FileProviderExtension::getRange(const Opened& opened, std::int64_t lower, std::int64_t upper,
                                             int fd) const {
    const auto remote = api();
    const std::int64_t expected = upper - lower;
    try {
        http::Request request;
        request.url = remote->downloadURL(opened.url);
        request.timeout = std::chrono::seconds(60);
        request.setHeader("Range", "bytes=" + std::to_string(lower) + "-" + std::to_string(upper - 1));
        // No byte past the range is written: a longer reply (the whole file) ends at once as a wrong answer.
        http::PlacedReply reply;
        try {
            reply = remote->session().downloadAt(request, fd, lower, expected);
        } catch (const http::URLError& error) {
            if (error.urlCode() != http::URLError::Code::dataLengthExceedsMaximum) throw;
            throw RemoteError::http(error.replyStatus() == 206 ? 502 : error.replyStatus(), "range");
        }
        const auto& response = reply.response;
        if (!response.isHTTP)
            throw RemoteError::network(
                std::make_exception_ptr(http::URLError(http::URLError::Code::badServerResponse)));
        if (response.status == 206 && reply.written == expected) {
            const auto range = http::parseContentRange(response.header("Content-Range").value_or(""));
            if (range && range->first == lower && range->last == upper - 1) return expected;
        }
        Remote::check(std::move(reply.body), response);  // throws for a status outside 2xx
        throw RemoteError::http(response.status == 206 ? 502 : response.status, "range");
    } catch (...) {
        throw Remote::wrap(std::current_exception());
    }
}

}  // namespace tw
