// Replays a fuzz target's committed corpus without libFuzzer, as an ordinary test: every regular file under
// the folders given (and every file given by name), in name order, goes once through LLVMFuzzerTestOneInput.
//
//   <target>_replay [--skip FILE-NAME]... PATH...
//
// A property that fails aborts inside the target; a crash, an abort or an escaping exception names the
// file that was running before the process ends. Exit status 0 when every file went through.

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

// The file being run, for the signal handler: a fixed buffer, as the handler may only read memory.
char current[4096] = "(none)";

void writeCurrent(const char* what) {
    const auto put = [](const char* text) {
        if (write(STDERR_FILENO, text, std::strlen(text)) < 0) return;
    };
    put("replay: ");
    put(what);
    put(" while running ");
    put(current);
    put("\n");
}

void onSignal(int signal) {
    writeCurrent(signal == SIGABRT ? "abort" : "fatal signal");
    // The handler was installed once (SA_RESETHAND): raising again ends the process with the same signal.
    std::raise(signal);
}

// On an alternate stack, so that a stack overflow still names its file.
void installHandlers() {
    static std::vector<char> altStack(1 << 16);
    stack_t stack{};
    stack.ss_sp = altStack.data();
    stack.ss_size = altStack.size();
    sigaltstack(&stack, nullptr);
    struct sigaction action {};
    action.sa_handler = onSignal;
    action.sa_flags = SA_ONSTACK | SA_RESETHAND;
    for (const int signal : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT})
        sigaction(signal, &action, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> skipped;
    std::vector<std::filesystem::path> files;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--skip" && i + 1 < argc) {
            skipped.push_back(argv[++i]);
        } else if (std::filesystem::is_directory(argument)) {
            for (const auto& entry : std::filesystem::recursive_directory_iterator(argument))
                if (entry.is_regular_file()) files.push_back(entry.path());
        } else if (std::filesystem::is_regular_file(argument)) {
            files.push_back(argument);
        } else {
            std::fprintf(stderr, "replay: no such file or folder: %s\n", argument.c_str());
            return 2;
        }
    }
    std::sort(files.begin(), files.end());
    if (files.empty()) {
        std::fprintf(stderr, "replay: no input\n");
        return 2;
    }

    installHandlers();
    std::size_t run = 0;
    for (const auto& file : files) {
        if (std::find(skipped.begin(), skipped.end(), file.filename().string()) != skipped.end()) {
            std::printf("replay: skipped %s\n", file.c_str());
            continue;
        }
        std::ifstream in(file, std::ios::binary);
        const std::vector<char> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        std::snprintf(current, sizeof current, "%s", file.c_str());
        try {
            // libFuzzer never passes a null pointer, not even for an empty input.
            static const std::uint8_t none = 0;
            LLVMFuzzerTestOneInput(
                bytes.empty() ? &none : reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
        } catch (const std::exception& error) {
            std::fprintf(stderr, "replay: exception \"%s\" while running %s\n", error.what(), current);
            return 1;
        } catch (...) {
            writeCurrent("exception");
            return 1;
        }
        ++run;
    }
    std::printf("replay: %zu inputs ran\n", run);
    return 0;
}
