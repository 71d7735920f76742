#include "platform/log.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <mutex>
#include <utility>

namespace tw {

namespace {

struct SinkSlot {
    std::mutex mutex;
    // Shared so that a record being written keeps its sink alive while another thread swaps it out.
    std::shared_ptr<const LogSink> sink;  // null: the stderr sink
    std::atomic<bool> infoEnabled{true};
};

SinkSlot& slot() {
    // Never destroyed: a detached task may still log while the process runs its exit handlers.
    static SinkSlot* instance = new SinkSlot();
    return *instance;
}

// Writes the whole line, in one write(2) unless the descriptor takes only a part (a long line into a full
// pipe, a signal), when the rest follows.
void writeLine(int fd, const std::string& line) {
    const char* data = line.data();
    std::size_t left = line.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, data, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;  // nowhere to report a failing descriptor
        data += n;
        left -= static_cast<std::size_t>(n);
    }
}

void writeToStderr(const LogRecord& record) {
    if (record.level == LogLevel::info && !slot().infoEnabled.load()) return;
    writeLine(STDERR_FILENO, logLine(record));
}

void emit(LogLevel level, const std::string& subsystem, const std::string& category,
          std::string_view message) noexcept {
    // Logging never fails its caller: a failure path logs before it reports, and must still report.
    try {
        std::shared_ptr<const LogSink> sink;
        {
            std::scoped_lock lock(slot().mutex);
            sink = slot().sink;
        }
        LogRecord record{level, subsystem, category, std::string(message)};
        if (sink) {
            (*sink)(record);
        } else {
            writeToStderr(record);
        }
    } catch (...) {
    }
}

}  // namespace

std::string logLine(const LogRecord& record, const LogEscape& escape) {
    const auto text = [&](const std::string& part) { return escape ? escape(part) : part; };
    std::string line = record.level == LogLevel::info ? "info " : "error ";
    line += text(record.subsystem);
    line += '[';
    line += text(record.category);
    line += "] ";
    line += text(record.message);
    line += '\n';
    return line;
}

LogSink descriptorSink(int fd, LogEscape escape) {
    return
        [fd, escape = std::move(escape)](const LogRecord& record) { writeLine(fd, logLine(record, escape)); };
}

LogSink setLogSink(LogSink sink) {
    auto next = sink ? std::make_shared<const LogSink>(std::move(sink)) : nullptr;
    std::shared_ptr<const LogSink> previous;
    {
        std::scoped_lock lock(slot().mutex);
        previous = std::exchange(slot().sink, std::move(next));
    }
    // The stderr sink is returned as an empty function, which reinstalls it when handed back.
    return previous ? *previous : LogSink{};
}

void setLogInfoEnabled(bool enabled) {
    slot().infoEnabled.store(enabled);
}

Logger::Logger(std::string subsystem, std::string category)
    : subsystem_(std::move(subsystem)), category_(std::move(category)) {}

void Logger::info(std::string_view message) const {
    emit(LogLevel::info, subsystem_, category_, message);
}

void Logger::error(std::string_view message) const {
    emit(LogLevel::error, subsystem_, category_, message);
}

struct LogCapture::Shared {
    std::mutex mutex;
    std::vector<LogRecord> records;
};

LogCapture::LogCapture() : shared_(std::make_shared<Shared>()) {
    previous_ = setLogSink([shared = shared_](const LogRecord& record) {
        std::scoped_lock lock(shared->mutex);
        shared->records.push_back(record);
    });
}

LogCapture::~LogCapture() {
    setLogSink(std::move(previous_));
}

std::vector<LogRecord> LogCapture::records() const {
    std::scoped_lock lock(shared_->mutex);
    return shared_->records;
}

}  // namespace tw
