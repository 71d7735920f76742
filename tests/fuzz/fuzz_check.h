#pragma once
// Property checks inside fuzz targets. A failed check prints what was expected and aborts, which libFuzzer
// reports as a crash (saving the input) and the replay driver reports with the name of the file it ran.

#include <cstdio>
#include <cstdlib>
#include <exception>

#define FUZZ_CHECK(condition)                                                                     \
    do {                                                                                          \
        if (!(condition)) {                                                                       \
            std::fprintf(stderr, "%s:%d: property failed: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                         \
        }                                                                                         \
    } while (false)

// For a catch (...) or catch (const std::exception&) after the documented error: anything else is a finding.
[[noreturn]] inline void fuzzUnexpected(const char* where, const std::exception* error = nullptr) {
    std::fprintf(stderr, "%s: unexpected exception: %s\n", where,
                 error ? error->what() : "(not a std::exception)");
    std::abort();
}
