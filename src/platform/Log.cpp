#include "platform/Log.h"

#include <cstdio>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <systemd/sd-journal.h>

namespace nimo::platform {

namespace {

std::mutex& captureMutex() {
    static std::mutex m;
    return m;
}
// Nested captures share one buffer; the outermost owns it.
int captureDepth = 0;
std::vector<LogRecord>& captureBuffer() {
    static std::vector<LogRecord> buffer;
    return buffer;
}

void capture(LogChannel channel, LogLevel level, std::string_view category, std::string_view line) {
    std::lock_guard lock(captureMutex());
    if (captureDepth > 0)
        captureBuffer().push_back({channel, level, std::string(category), std::string(line)});
}

bool journalAvailable() {
    // sd_journal_send reports success even with no journal listening, so look for its socket.
    static const bool available = [] {
        struct stat st {};
        return ::stat("/run/systemd/journal/socket", &st) == 0;
    }();
    return available;
}

int priorityOf(LogLevel level) {
    switch (level) {
    case LogLevel::Info:
        return 6;
    case LogLevel::Default:
        return 5;
    case LogLevel::Error:
        return 3;
    }
    return 5;
}

const char* levelName(LogLevel level) {
    switch (level) {
    case LogLevel::Info:
        return "info";
    case LogLevel::Default:
        return "default";
    case LogLevel::Error:
        return "error";
    }
    return "default";
}

void writeLine(FILE* stream, std::string_view text) {
    // One locked write of the line and its end, without copying a long line to append '\n'.
    flockfile(stream);
    fwrite_unlocked(text.data(), 1, text.size(), stream);
    fputc_unlocked('\n', stream);
    fflush_unlocked(stream);
    funlockfile(stream);
}

} // namespace

void SystemLog::write(LogLevel level, std::string_view line) const {
    capture(LogChannel::System, level, category_, line);
    if (journalAvailable()) {
        const std::string message(line);
        sd_journal_send("MESSAGE=%s", message.c_str(), "PRIORITY=%d", priorityOf(level), "SUBSYSTEM=%s",
                        kLogSubsystem, "CATEGORY=%s", category_.c_str(), "SYSLOG_IDENTIFIER=nimo", nullptr);
        return;
    }
    writeLine(stderr, std::string("[") + kLogSubsystem + ":" + category_ + "] <" + levelName(level) + "> " +
                          std::string(line));
}

void consoleLog(std::string_view line) {
    capture(LogChannel::Console, LogLevel::Default, {}, line);
    writeLine(stderr, line);
}

bool consoleLogWanted() {
    {
        std::lock_guard lock(captureMutex());
        if (captureDepth > 0)
            return true;
    }
    // Where stderr goes is fixed once the process runs; looked at once.
    static const bool stderrGoesSomewhere = [] {
        struct stat st {};
        if (::fstat(2, &st) != 0)
            return false;
        return !(S_ISCHR(st.st_mode) && st.st_rdev == makedev(1, 3)); // /dev/null
    }();
    return stderrGoesSomewhere;
}

void printLine(std::string_view line) {
    capture(LogChannel::Stdout, LogLevel::Default, {}, line);
    writeLine(stdout, line);
}

ScopedLogCapture::ScopedLogCapture() {
    std::lock_guard lock(captureMutex());
    if (captureDepth++ == 0)
        captureBuffer().clear();
}

ScopedLogCapture::~ScopedLogCapture() {
    std::lock_guard lock(captureMutex());
    if (--captureDepth == 0)
        captureBuffer().clear();
}

std::vector<LogRecord> ScopedLogCapture::records() const {
    std::lock_guard lock(captureMutex());
    return captureBuffer();
}

std::vector<std::string> ScopedLogCapture::lines(LogChannel channel) const {
    std::vector<std::string> out;
    for (auto& r : records())
        if (r.channel == channel)
            out.push_back(r.line);
    return out;
}

bool ScopedLogCapture::contains(std::string_view fragment) const {
    for (auto& r : records())
        if (r.line.find(fragment) != std::string::npos)
            return true;
    return false;
}

void ScopedLogCapture::clear() {
    std::lock_guard lock(captureMutex());
    captureBuffer().clear();
}

} // namespace nimo::platform
