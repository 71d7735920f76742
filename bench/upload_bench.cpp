// Whole-process upload against a running tidewright-server (bench/upload.sh starts one):
//
//   upload_bench --base URL --file PATH [--name NAME]
//
// One Remote::upload of the whole file (multipart above 8 MiB: 8 MiB parts, four in flight), as the
// extension makes it for a new item, with a progress object. The token comes from the environment
// (TW_BENCH_TOKEN), never the command line. Prints one line the script reads:
//   uploaded BYTES SECONDS PEAK_KIB PARTS_SECONDS CPU_SECONDS
// where PEAK_KIB is the process's peak resident size (VmHWM) after the upload, PARTS_SECONDS the time until
// the progress reached the file's size (for a multipart upload: every part stored, before the completion)
// and CPU_SECONDS the process's user and system time.

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include <sys/resource.h>

#include <CLI/CLI.hpp>

#include "remote/remote.h"

namespace {

long peakResidentKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"One upload of a file to a running tidewright-server"};
    std::string base, file, name = "bench.bin";
    app.add_option("--base", base, "The service's base address")->required();
    app.add_option("--file", file, "The file to upload")->required();
    app.add_option("--name", name, "The item's name");
    CLI11_PARSE(app, argc, argv);

    const char* token = std::getenv("TW_BENCH_TOKEN");
    tw::Remote remote(tw::Config(base, token ? token : "", "", std::nullopt));
    const auto size = static_cast<std::int64_t>(std::filesystem::file_size(file));
    const auto progress = tw::Progress::make(size);
    const auto start = std::chrono::steady_clock::now();
    const auto since = [&start] {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    };
    std::atomic<double> partsSeconds{0};
    std::atomic<bool> done{false};
    std::thread watcher([&] {
        while (!done && progress->completedUnitCount() < size)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        partsSeconds = since();
    });
    try {
        remote.upload(file, size, name, std::nullopt, tw::Remote::mimeType(name), std::nullopt, "rename",
                      progress);
    } catch (const std::exception& error) {
        done = true;
        watcher.join();
        std::fprintf(stderr, "upload_bench: %s\n", error.what());
        return 1;
    }
    const double seconds = since();
    done = true;
    watcher.join();
    if (progress->completedUnitCount() != size) {
        std::fprintf(stderr, "upload_bench: progress ended at %lld of %lld bytes\n",
                     static_cast<long long>(progress->completedUnitCount()), static_cast<long long>(size));
        return 1;
    }
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    const double cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                       static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    std::printf("uploaded %lld %.3f %ld %.3f %.3f\n", static_cast<long long>(size), seconds,
                peakResidentKiB(), partsSeconds.load(), cpu);
    return 0;
}
