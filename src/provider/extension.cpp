#include "provider/extension.h"

#include <atomic>

#include "platform/task/task.h"
#include "provider/item.h"
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
    static const Logger logger(FileProviderExtension::bundleIdentifier, "fp");
    return logger;
}

std::shared_ptr<FileProviderExtension> FileProviderExtension::make(host::Domain domain) {
    return std::shared_ptr<FileProviderExtension>(new FileProviderExtension(std::move(domain)));
}

FileProviderExtension::FileProviderExtension(host::Domain domain) : domain_(std::move(domain)) {
    if (auto config = Config::fromUserInfo(domain_.userInfo))
        remote_ = std::make_shared<const Remote>(*config);
    manager_ = host::Manager::forDomain(domain_);
    log().info("init domain=" + domain_.identifier + " configured=" + (remote_ ? "true" : "false"));
}

std::shared_ptr<const Remote> FileProviderExtension::api() const {
    if (!remote_) throw fileProviderError(FileProviderErrorCode::notAuthenticated);
    return remote_;
}

std::shared_ptr<Progress> FileProviderExtension::run(std::shared_ptr<Progress> progress,
                                                     std::function<void(Error)> fail,
                                                     std::function<void()> body) const {
    // The task holds the extension, so the extension outlives every call it is running.
    auto self = shared_from_this();
    Task task = Task::start([self, fail = std::move(fail), body = std::move(body)] {
        try {
            body();
        } catch (...) {
            const auto error = std::current_exception();
            log().error("operação falhou: " + describe(error));
            fail(fpError(error));
        }
    });
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
        [this, identifier, completionHandler] {
            const auto node = api()->node(identifier, /*includeTrashed=*/true);
            completionHandler(std::make_shared<Item>(node), std::nullopt);
        });
}

}  // namespace tw
