#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace nimo::platform {

inline constexpr const char* kLogSubsystem = "com.nimomac.qn";

enum class LogChannel {
    System,  // journald (or stderr) with subsystem and category
    Console, // plain line on stderr
    Stdout,  // plain line on standard output
};

enum class LogLevel {
    Info,    // journald priority 6
    Default, // notice, 5
    Error,   // 3
};

// System log channel of one category under the "com.nimomac.qn" subsystem.
class SystemLog {
public:
    explicit SystemLog(std::string category) : category_(std::move(category)) {}
    void info(std::string_view line) const { write(LogLevel::Info, line); }
    void notice(std::string_view line) const { write(LogLevel::Default, line); }
    void error(std::string_view line) const { write(LogLevel::Error, line); }
    void write(LogLevel level, std::string_view line) const;
    const std::string& category() const { return category_; }

private:
    std::string category_;
};

// The console log: one plain line on stderr.
void consoleLog(std::string_view line);
// Whether a console line reaches anyone: a capture is active, or stderr is open and not the null
// device. Lines that cost much to build (a reply's description) are built only when it is true.
bool consoleLogWanted();
// Standard output: one plain line, flushed.
void printLine(std::string_view line);

struct LogRecord {
    LogChannel channel;
    LogLevel level;
    std::string category; // empty outside the system log
    std::string line;
};

// Keeps a copy of every line written while it lives (any thread), in addition to the normal output.
// Lets a caller (a test, a diagnostics view) see what was logged without parsing stderr.
class ScopedLogCapture {
public:
    ScopedLogCapture();
    ~ScopedLogCapture();
    ScopedLogCapture(const ScopedLogCapture&) = delete;
    ScopedLogCapture& operator=(const ScopedLogCapture&) = delete;

    std::vector<LogRecord> records() const;
    // Lines of one channel, in order.
    std::vector<std::string> lines(LogChannel channel) const;
    bool contains(std::string_view fragment) const;
    void clear();
};

} // namespace nimo::platform
