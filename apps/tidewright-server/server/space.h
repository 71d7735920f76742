#pragma once

// The state of the storage space, switchable for tests through the control endpoint.

#include <optional>
#include <string>
#include <string_view>

namespace tw::server {

enum class SpaceState {
    normal,
    readOnlyPayment,   // writes answer 402 "payment_required"
    readOnlyDeleting,  // writes answer 403 "account_deleting"
    suspended,         // every request answers 403 "space_suspended"
    unavailable,       // every request answers 410 "space_unavailable"
};

// "normal", "read_only" with reason "payment_required" (the default) or "account_deleting",
// "suspended", "unavailable"; nullopt for anything else.
std::optional<SpaceState> spaceStateFrom(std::string_view state, std::string_view reason);
std::string nameOf(SpaceState state);
std::string reasonOf(SpaceState state);

// Throws the ApiError that the state answers for a request that reads (`write` false) or writes.
void checkSpace(SpaceState state, bool write);

}  // namespace tw::server
