#include "observers.h"

#include "enumeration/working_set_enumerator.h"

namespace tw::cli {

void PageObserver::didEnumerateItems(std::vector<host::ItemPointer> items) {
    items_.insert(items_.end(), std::make_move_iterator(items.begin()), std::make_move_iterator(items.end()));
}

void PageObserver::finishEnumeratingUpToPage(std::optional<host::Page> nextPage) {
    result_.set_value({std::move(items_), std::move(nextPage)});
}

void PageObserver::finishEnumeratingWithError(Error error) {
    result_.set_exception(std::make_exception_ptr(error));
}

void ChangeBatchObserver::didUpdateItems(std::vector<host::ItemPointer> items) {
    updated_.insert(updated_.end(), std::make_move_iterator(items.begin()),
                    std::make_move_iterator(items.end()));
}

void ChangeBatchObserver::finishEnumeratingChanges(host::SyncAnchor anchor, bool moreComing) {
    result_.set_value({std::move(updated_), std::move(anchor), moreComing});
}

void ChangeBatchObserver::finishEnumeratingWithError(Error error) {
    result_.set_exception(std::make_exception_ptr(error));
}

std::optional<host::SyncAnchor> currentAnchor(host::Enumerator& enumerator) {
    std::promise<std::optional<host::SyncAnchor>> answer;
    enumerator.currentSyncAnchor(
        [&answer](std::optional<host::SyncAnchor> anchor) { answer.set_value(std::move(anchor)); });
    return answer.get_future().get();
}

std::optional<ChangeBatch> nextChanges(host::Enumerator& enumerator, const host::SyncAnchor& anchor,
                                       const StopCondition& stop) {
    auto observer = std::make_shared<ChangeBatchObserver>();
    auto batch = observer->future();
    enumerator.enumerateChanges(observer, anchor);
    while (batch.wait_for(std::chrono::milliseconds(20)) != std::future_status::ready)
        if (stop && stop()) return std::nullopt;
    return batch.get();
}

void requireProgress(const host::SyncAnchor& from, const ChangeBatch& batch) {
    const auto before = seqOf(from), after = seqOf(batch.anchor);
    if (batch.moreComing && after <= before)
        throw Error("tidewright", 1, {},
                    "the service announces more changes without moving past position " +
                        std::to_string(before) + " (it answered " + std::to_string(after) +
                        "); stopped rather than asking for ever");
}

void PageTrail::follow(const host::Page& next) {
    if (feedPositions_) {
        const auto position = seqOf(next);
        if (position <= position_)
            throw Error("tidewright", 1, {},
                        "the service announces more of the working set without moving past position " +
                            std::to_string(position_) + " (it answered " + std::to_string(position) +
                            "); stopped rather than asking for ever");
        position_ = position;
    } else if (!followed_.insert(next).second) {
        throw Error("tidewright", 1, {},
                    "the service handed out the listing cursor \"" + next +
                        "\" a second time; stopped rather than listing for ever");
    }
}

}  // namespace tw::cli
