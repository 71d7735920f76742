#pragma once
#include <vector>

#include "platform/host/item.h"
#include "records/node.h"

namespace tw {

// One item per node, in order.
std::vector<host::ItemPointer> itemsFor(const std::vector<Node>& nodes);

}  // namespace tw
