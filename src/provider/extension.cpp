#include "provider/extension.h"

#include "provider/item.h"
#include "provider/remote_access.h"
#include "remote/fp_error.h"

namespace tw {
namespace {

std::string describe(std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "unknown error";
    }
}

}  // namespace

const Logger& log() {
    // Never destroyed: a detached task may still log while the process runs its exit handlers.
    static const Logger& logger = *new Logger(FileProviderExtension::bundleIdentifier, "fp");
    return logger;
}

std::shared_ptr<FileProviderExtension> FileProviderExtension::make(host::Domain domain) {
    return std::shared_ptr<FileProviderExtension>(new FileProviderExtension(std::move(domain), std::nullopt));
}

std::shared_ptr<FileProviderExtension> FileProviderExtension::make(
    host::Domain domain, std::vector<std::shared_ptr<http::Transport>> substitutes) {
    return std::shared_ptr<FileProviderExtension>(
        new FileProviderExtension(std::move(domain), std::move(substitutes)));
}

FileProviderExtension::FileProviderExtension(
    host::Domain domain, std::optional<std::vector<std::shared_ptr<http::Transport>>> substitutes)
    : domain_(std::move(domain)) {
    if (auto config = Config::fromUserInfo(domain_.userInfo))
        remote_ = substitutes ? std::make_shared<const Remote>(*config, std::move(*substitutes))
                              : std::make_shared<const Remote>(*config);
    try {
        // The default manager keeps each domain's folder under the cache folder named after this extension.
        manager_ = host::Manager::forDomain(domain_, cacheFolderName);
    } catch (...) {
        // Only downloads need the manager; everything else works without one. The log otherwise holds
        // three lines (init, a failed call, a change batch); this fourth is there because nothing else
        // would tell why every download fails. It names the domain and the folder, never the configuration.
        log().error("no manager domain=" + domain_.identifier + ": " + describe(std::current_exception()));
    }
    log().info("init domain=" + domain_.identifier + " configured=" + (remote_ ? "true" : "false"));
}

std::shared_ptr<const Remote> FileProviderExtension::api() const {
    if (!remote_) throw fileProviderError(FileProviderErrorCode::notAuthenticated);
    return remote_;
}

std::shared_ptr<const Remote> remoteOf(const FileProviderExtension& extension) {
    return extension.api();
}

void FileProviderExtension::perform(const std::function<void(Error)>& fail, const Body& body) {
    Finish finish;
    try {
        finish = body();
    } catch (...) {
        const auto error = std::current_exception();
        log().error("operação falhou: " + describe(error));
        return fail(fpError(error));
    }
    finish();  // outside the try: a finishing call that throws is not followed by the failure's
}

Task FileProviderExtension::run(std::function<void(Error)> fail, Body body) const {
    // The task holds the extension, so the extension outlives every call it is running.
    return Task::start(
        [self = shared_from_this(), fail = std::move(fail), body = std::move(body)] { perform(fail, body); });
}

std::shared_ptr<Progress> FileProviderExtension::run(std::shared_ptr<Progress> progress,
                                                     std::function<void(Error)> fail, Body body) const {
    Task task = run(std::move(fail), std::move(body));
    progress->setCancellationHandler([task] { task.cancel(); });
    return progress;
}

std::shared_ptr<Progress> FileProviderExtension::item(const host::ItemIdentifier& identifier,
                                                      const host::Request&,
                                                      host::ItemCompletion completionHandler) {
    if (identifier == host::rootContainer) {
        completionHandler(std::make_shared<RootItem>(domain_.displayName), std::nullopt);
        return Progress::make();
    }
    if (identifier == host::trashContainer) {
        completionHandler(std::make_shared<TrashItem>(), std::nullopt);
        return Progress::make();
    }
    return run(
        Progress::make(1), [completionHandler](Error error) { completionHandler(nullptr, std::move(error)); },
        [this, identifier, completionHandler]() -> Finish {
            auto item = std::make_shared<Item>(api()->node(identifier, /*includeTrashed=*/true));
            return [completionHandler, item = std::move(item)] { completionHandler(item, std::nullopt); };
        });
}

}  // namespace tw
