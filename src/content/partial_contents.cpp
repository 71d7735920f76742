// Ranged reads: the read-ahead, range requests in parallel pieces, and the sparse file that holds them.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <vector>

#include "content/read_ahead.h"
#include "platform/http/content_range.h"
#include "platform/task/task_group.h"
#include "platform/uuid.h"
#include "provider/extension.h"
#include "provider/item.h"

namespace tw {
namespace {

// Writes `pieces`, one after the other, from `offset` of a new file `path` (mode 0600) whose length up to
// `offset` stays a hole. A failure removes the file and throws std::system_error.
void writeSparse(const std::filesystem::path& path, std::int64_t offset,
                 const std::vector<std::string>& pieces) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) throw std::system_error(errno, std::generic_category(), "cannot create " + path.string());
    int error = ::ftruncate(fd, offset) == 0 ? 0 : errno;
    for (const auto& bytes : pieces) {
        for (std::size_t done = 0; error == 0 && done < bytes.size();) {
            const ssize_t n = ::pwrite(fd, bytes.data() + done, bytes.size() - done,
                                       static_cast<off_t>(offset + static_cast<std::int64_t>(done)));
            if (n < 0 && errno != EINTR) error = errno;
            if (n > 0) done += static_cast<std::size_t>(n);
        }
        offset += static_cast<std::int64_t>(bytes.size());
    }
    if (::close(fd) != 0 && error == 0) error = errno;
    if (error != 0) {
        ::unlink(path.c_str());
        throw std::system_error(error, std::generic_category(), "cannot write " + path.string());
    }
}

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
            // Ends clamped to the file before rounding, which gives the same upper bound, and no sum can
            // overflow whatever the host asks.
            const std::int64_t size = opened.node.size;
            const auto endWithin = [size](std::int64_t start, std::int64_t span) {
                return start >= size ? size : start + std::min(span, size - start);
            };
            const std::int64_t askedEnd = roundUp(endWithin(location, length), a);
            const std::int64_t wantedEnd = std::max(askedEnd, roundUp(endWithin(s, chunk), a));
            std::int64_t u = std::min(size, wantedEnd);
            if (s >= u) throw fileProviderError(FileProviderErrorCode::noSuchItem);
            {
                std::scoped_lock guard(lock_);
                state->lastStart = s;
                state->lastEnd = u;
            }

            std::vector<std::string> bytes;
            try {
                bytes = fetchRange(opened, s, u);
            } catch (const RemoteError& error) {
                if (!isRefusedAddress(error)) throw;
                // The address expired or was withdrawn: one new one, one more try.
                opened = open(identifier, /*force=*/true);
                u = std::min(u, opened.node.size);
                if (s >= u) throw fileProviderError(FileProviderErrorCode::noSuchItem);
                bytes = fetchRange(opened, s, u);
            }
            std::int64_t fetched = 0;
            for (const auto& piece : bytes)
                fetched += static_cast<std::int64_t>(piece.size());
            if (fetched != std::min(u, opened.node.size) - s) throw RemoteError::http(502, "short_read");

            const auto file = directory / randomUUID();
            writeSparse(file, s, bytes);
            const host::ByteRange delivered{s, fetched};
            auto item = std::make_shared<Item>(opened.node);
            return [completionHandler, file, item, delivered] {
                completionHandler(file, item, delivered, 0, std::nullopt);
            };
        });
}

std::vector<std::string> FileProviderExtension::fetchRange(const Opened& opened, std::int64_t lower,
                                                           std::int64_t upper) const {
    if (upper - lower < splitThreshold) return {getRange(opened, lower, upper)};
    const auto pieces = piecesOf(lower, upper);
    std::vector<std::string> slots(pieces.size());
    {
        // The first piece to fail cancels the others; wait() awaits them all, then throws that failure.
        TaskGroup group;
        for (std::size_t i = 0; i < pieces.size(); ++i)
            group.spawn([this, &opened, &slots, &pieces, i] {
                slots[i] = getRange(opened, pieces[i].first, pieces[i].second);
            });
        group.wait();
    }
    return slots;
}

std::string FileProviderExtension::getRange(const Opened& opened, std::int64_t lower,
                                            std::int64_t upper) const {
    const auto remote = api();
    const std::int64_t expected = upper - lower;
    try {
        http::Request request;
        request.url = remote->downloadURL(opened.url);
        request.timeout = std::chrono::seconds(60);
        request.setHeader("Range", "bytes=" + std::to_string(lower) + "-" + std::to_string(upper - 1));
        // No more than the range is held: a longer reply (the whole file) ends at once as a wrong answer.
        request.memoryLimit = expected;
        http::DataReply reply;
        try {
            reply = remote->session().data(request);
        } catch (const http::URLError& error) {
            if (error.urlCode() != http::URLError::Code::dataLengthExceedsMaximum) throw;
            throw RemoteError::http(error.replyStatus() == 206 ? 502 : error.replyStatus(), "range");
        }
        const auto& response = reply.response;
        if (!response.isHTTP)
            throw RemoteError::network(
                std::make_exception_ptr(http::URLError(http::URLError::Code::badServerResponse)));
        if (response.status == 206 && static_cast<std::int64_t>(reply.body.size()) == expected) {
            const auto range = http::parseContentRange(response.header("Content-Range").value_or(""));
            if (range && range->first == lower && range->last == upper - 1) return std::move(reply.body);
        }
        Remote::check(std::move(reply.body), response);  // throws for a status outside 2xx
        throw RemoteError::http(response.status == 206 ? 502 : response.status, "range");
    } catch (...) {
        throw Remote::wrap(std::current_exception());
    }
}

}  // namespace tw
