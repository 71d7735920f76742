#include "platform/progress.h"

#include <utility>

namespace tw {

std::shared_ptr<Progress> Progress::make(std::int64_t totalUnitCount) {
    return std::make_shared<Progress>(totalUnitCount);
}

void Progress::setCancellationHandler(std::function<void()> handler) {
    // Handlers run, and replaced handlers are destroyed, outside the lock: either may call back into this
    // progress (or release the last reference to something that does).
    std::function<void()> replaced;
    {
        std::scoped_lock lock(mutex_);
        if (!cancelled_.load()) {
            replaced = std::exchange(handler_, std::move(handler));
            return;
        }
    }
    if (handler) handler();
}

void Progress::cancel() {
    std::function<void()> handler;
    {
        std::scoped_lock lock(mutex_);
        if (cancelled_.exchange(true)) return;
        handler = std::exchange(handler_, nullptr);
    }
    if (handler) handler();
}

}  // namespace tw
