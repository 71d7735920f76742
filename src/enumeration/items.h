#pragma once
#include <vector>

#include "platform/host/item.h"
#include "records/node.h"

namespace tw {

// One item per node, in order. The nodes are moved into their items.
std::vector<host::ItemPointer> itemsFor(std::vector<Node> nodes);

}  // namespace tw
