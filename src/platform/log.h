#pragma once
// The unified log: a subsystem and a category per logger, two levels. Lines go to stderr by default as
// "<level> <subsystem>[<category>] <message>"; a test or a host can install its own sink (and capture what
// is written). Safe from any thread.

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace tw {

enum class LogLevel { info, error };

struct LogRecord {
    LogLevel level;
    std::string subsystem;
    std::string category;
    std::string message;
};

using LogSink = std::function<void(const LogRecord&)>;
// Makes a text fit to be written out (a terminal's sink makes control characters visible).
using LogEscape = std::function<std::string(std::string_view)>;

// The line of a record as sinks write it: "<level> <subsystem>[<category>] <message>\n", the three texts
// passed through `escape` first when one is given.
std::string logLine(const LogRecord& record, const LogEscape& escape = {});

// A sink that writes the line of each record to the descriptor `fd` in a single write(2), so that lines
// written by several threads at once never run into each other (a pipe takes a line of up to PIPE_BUF, 4096
// bytes, whole; a file any line). `fd` is not owned and must stay open while the sink is in use. Failures to
// write are ignored: there is nowhere to report them.
LogSink descriptorSink(int fd, LogEscape escape = {});

// Replaces the process-wide sink; an empty function restores the stderr sink. Returns the previous sink.
LogSink setLogSink(LogSink sink);

// Stops writing info lines to the default stderr sink (errors are still written); installed sinks see all.
void setLogInfoEnabled(bool enabled);

class Logger {
public:
    Logger(std::string subsystem, std::string category);
    void info(std::string_view message) const;
    void error(std::string_view message) const;

private:
    std::string subsystem_;
    std::string category_;
};

// Captures every line written while it lives (and nothing reaches stderr). For tests.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;
    std::vector<LogRecord> records() const;

private:
    struct Shared;
    std::shared_ptr<Shared> shared_;
    LogSink previous_;
};

}  // namespace tw
