// Whole-file downloads, and the open step they share with ranged reads.
#include <charconv>
#include <filesystem>

#include "content/download_progress.h"
#include "content/opened_cache.h"
#include "platform/files.h"
#include "platform/uuid.h"
#include "provider/extension.h"
#include "provider/item.h"
#include "remote/remote.h"

namespace tw {
namespace {

// The staging file of a move into the host's folder from another file system, beside its destination.
constexpr const char* stagingPrefix = ".tidewright-move-";

// Whether a 200 reply of `delivered` bytes holds the whole item: as long as the open record's size, and as
// any Content-Length it carries said. Without a Content-Length the reply ends when the connection closes,
// and libcurl takes a connection that broke early for the end of the body; with one, a proxy or a faulty
// service may still answer a short body that agrees with its own length.
bool isWhole(const http::Response& response, const Node& node, std::uintmax_t delivered) {
    if (delivered != static_cast<std::uintmax_t>(node.size)) return false;
    if (const auto length = response.header("Content-Length")) {
        std::uintmax_t value = 0;
        const auto [end, error] = std::from_chars(length->data(), length->data() + length->size(), value);
        const bool read = error == std::errc() && end == length->data() + length->size();
        if (read && value != delivered) return false;
    }
    return true;
}

}  // namespace

Opened FileProviderExtension::open(const std::string& id, bool force) {
    if (!force) {
        std::scoped_lock guard(lock_);
        if (const auto found = opened_.find(id); found != opened_.end() && isReusable(found->second, nowMs()))
            return found->second;
    }
    Opened fresh = api()->open(id);
    std::scoped_lock guard(lock_);
    // A long-lived host opens many files; an entry that can no longer be reused only takes room.
    dropUnusable(opened_, nowMs());
    opened_[id] = fresh;
    return fresh;
}

std::shared_ptr<Progress> FileProviderExtension::fetchContents(const host::ItemIdentifier& identifier,
                                                               const std::optional<host::ItemVersion>&,
                                                               const host::Request&,
                                                               host::FetchCompletion completionHandler) {
    auto progress = Progress::make(1);
    return run(
        progress,
        [completionHandler](Error error) { completionHandler(std::nullopt, nullptr, std::move(error)); },
        [this, identifier, progress, completionHandler]() -> Finish {
            const auto remote = api();
            const Opened opened = open(identifier, /*force=*/true);
            progress->setTotalUnitCount(std::max<std::int64_t>(opened.node.size, 1));
            if (!manager_) throw fileProviderError(FileProviderErrorCode::cannotSynchronize);
            const auto directory = manager_->temporaryDirectory();

            http::Request request;
            request.url = remote->downloadURL(opened.url);  // no token: the address authorises itself
            request.timeout = std::chrono::seconds(60);
            DownloadProgress delegate(progress);
            http::DownloadReply reply = remote->session().download(request, &delegate);

            const auto status = reply.response.status;
            if (!reply.response.isHTTP) throw Remote::failure(502, reply.file.path());
            if (status >= 400) throw Remote::failure(status, reply.file.path());
            if (status != 200) throw RemoteError::http(status, "download");
            if (!isWhole(reply.response, opened.node, std::filesystem::file_size(reply.file.path())))
                throw RemoteError::http(502, "download");

            const auto destination = directory / randomUUID();
            moveFile(reply.file.path(), destination, /*replace=*/false, stagingPrefix);
            reply.file.release();
            auto item = std::make_shared<Item>(opened.node);
            return [completionHandler, destination, item] {
                completionHandler(destination, item, std::nullopt);
            };
        });
}

}  // namespace tw
