// Replays a corpus without libFuzzer: every file under the folders given, in name order, once; a failure
// names the file.

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

char failure[4200] = "";  // written before each input, so that a signal handler need only write it out

void onSignal(int signal) {
    if (write(STDERR_FILENO, failure, std::strlen(failure)) < 0) {
    }
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::filesystem::path> files;
    for (int i = 1; i < argc; ++i)
        for (const auto& entry : std::filesystem::recursive_directory_iterator(argv[i]))
            if (entry.is_regular_file()) files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    for (const int signal : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT})
        std::signal(signal, onSignal);
    for (const auto& file : files) {
        std::snprintf(failure, sizeof failure, "replay: failed while running %s\n", file.c_str());
        std::ifstream in(file, std::ios::binary);
        const std::vector<char> bytes{std::istreambuf_iterator<char>(in), {}};
        static const std::uint8_t none = 0;  // libFuzzer never passes a null pointer, not even for no input
        try {
            LLVMFuzzerTestOneInput(
                bytes.empty() ? &none : reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
        } catch (...) {
            std::fputs(failure, stderr);
            return 1;
        }
    }
    std::printf("replay: %zu inputs ran\n", files.size());
    return files.empty() ? 2 : 0;
}
