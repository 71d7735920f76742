#pragma once
#include <functional>
#include <memory>
#include <vector>

#include "platform/error.h"
#include "platform/host/enumeration.h"
#include "platform/host/item.h"
#include "records/node.h"

namespace tw {

// One item per node, in order. The nodes are moved into their items.
std::vector<host::ItemPointer> itemsFor(std::vector<Node> nodes);

// The failing way out of an enumeration call: the observer's finishEnumeratingWithError (an item or a
// change observer).
template <class Observer>
std::function<void(Error)> failWith(std::shared_ptr<Observer> observer) {
    return [observer = std::move(observer)](Error error) {
        observer->finishEnumeratingWithError(std::move(error));
    };
}

}  // namespace tw
