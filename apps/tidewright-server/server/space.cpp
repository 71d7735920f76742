#include "server/space.h"

#include "server/api_error.h"

namespace tw::server {

std::optional<SpaceState> spaceStateFrom(std::string_view state, std::string_view reason) {
    if (state == "normal") return SpaceState::normal;
    if (state == "suspended") return SpaceState::suspended;
    if (state == "unavailable") return SpaceState::unavailable;
    if (state == "read_only") {
        if (reason.empty() || reason == "payment_required") return SpaceState::readOnlyPayment;
        if (reason == "account_deleting") return SpaceState::readOnlyDeleting;
    }
    return std::nullopt;
}

std::string nameOf(SpaceState state) {
    switch (state) {
        case SpaceState::normal:
            return "normal";
        case SpaceState::readOnlyPayment:
        case SpaceState::readOnlyDeleting:
            return "read_only";
        case SpaceState::suspended:
            return "suspended";
        case SpaceState::unavailable:
            return "unavailable";
    }
    return "normal";
}

std::string reasonOf(SpaceState state) {
    if (state == SpaceState::readOnlyPayment) return "payment_required";
    if (state == SpaceState::readOnlyDeleting) return "account_deleting";
    return "";
}

void checkSpace(SpaceState state, bool write) {
    switch (state) {
        case SpaceState::normal:
            return;
        case SpaceState::readOnlyPayment:
            if (write) throw ApiError(402, "payment_required");
            return;
        case SpaceState::readOnlyDeleting:
            if (write) throw ApiError(403, "account_deleting");
            return;
        case SpaceState::suspended:
            throw ApiError(403, "space_suspended");
        case SpaceState::unavailable:
            throw ApiError(410, "space_unavailable");
    }
}

}  // namespace tw::server
