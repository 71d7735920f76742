#pragma once
// A fetch's failure handed on to every reader that waited for the range.

#include <exception>

namespace tw::mount {

// Throws a copy of `error` that belongs to the calling thread alone, keeping what callers tell apart: a
// std::system_error stays one with its code; anything else becomes a tw::Error (same domain and code). An
// exception object shared by threads would be freed by whichever of them ends its catch last.
[[noreturn]] void throwCopyOf(const std::exception_ptr& error);

// Whether `error` is the cancellation of the reader that fetched (tw::Error, cocoa domain, user-cancelled
// code): it says nothing of the range, which a waiter then fetches itself.
bool isCancellation(const std::exception_ptr& error);

}  // namespace tw::mount
