#include "service/ServiceDates.h"

#include <QDateTime>
#include <QLocale>
#include <algorithm>
#include <optional>
#include <string_view>

namespace nimo {

namespace {

// Exactly `count` ASCII digits at `pos`, moved past; anything else leaves `out` untouched and fails.
bool readDigits(std::string_view text, std::size_t& pos, std::size_t count, int& out) {
    if (text.size() - pos < count || count == 0)
        return false;
    int value = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const char c = text[pos + i];
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + (c - '0');
    }
    pos += count;
    out = value;
    return true;
}

bool readChar(std::string_view text, std::size_t& pos, char c) {
    if (pos >= text.size() || text[pos] != c)
        return false;
    ++pos;
    return true;
}

std::size_t digitRun(std::string_view text, std::size_t pos) {
    std::size_t n = 0;
    while (pos + n < text.size() && text[pos + n] >= '0' && text[pos + n] <= '9')
        ++n;
    return n;
}

// The three accepted shapes: an internet date-time with fractional seconds, one without, and the
// "yyyy-MM-dd'T'HH:mm:ssXXXXX" pattern, whose zone may also carry seconds. Read by hand: this runs
// for the first paint, where compiling an expression cost more than the rest of the parse.
std::optional<QDateTime> parseServiceDate(const std::string& input) {
    if (input.size() > 64)
        return std::nullopt;
    const std::string_view text(input);
    std::size_t pos = 0;
    int year, month, day, hour, minute, second;
    if (!readDigits(text, pos, 4, year) || !readChar(text, pos, '-') || !readDigits(text, pos, 2, month) ||
        !readChar(text, pos, '-') || !readDigits(text, pos, 2, day) || !readChar(text, pos, 'T') ||
        !readDigits(text, pos, 2, hour) || !readChar(text, pos, ':') || !readDigits(text, pos, 2, minute) ||
        !readChar(text, pos, ':') || !readDigits(text, pos, 2, second))
        return std::nullopt;

    int ms = 0;
    bool fraction = false;
    if (readChar(text, pos, '.')) {
        const std::size_t n = digitRun(text, pos);
        if (n < 1 || n > 9)
            return std::nullopt;
        const std::size_t kept = std::min<std::size_t>(n, 3);
        std::size_t at = pos;
        readDigits(text, at, kept, ms);
        for (std::size_t i = kept; i < 3; ++i)
            ms *= 10;
        pos += n;
        fraction = true;
    }

    int offset = 0;
    if (readChar(text, pos, 'Z')) {
        if (pos != text.size())
            return std::nullopt;
    } else {
        if (pos >= text.size() || (text[pos] != '+' && text[pos] != '-'))
            return std::nullopt;
        const int sign = text[pos++] == '-' ? -1 : 1;
        int hours, minutes, seconds = 0;
        if (!readDigits(text, pos, 2, hours) || !readChar(text, pos, ':') ||
            !readDigits(text, pos, 2, minutes))
            return std::nullopt;
        if (readChar(text, pos, ':')) {
            if (fraction || !readDigits(text, pos, 2, seconds)) // no accepted shape has both
                return std::nullopt;
        }
        if (pos != text.size() || minutes > 59 || seconds > 59)
            return std::nullopt;
        offset = (hours * 3600 + minutes * 60 + seconds) * sign;
    }

    const QDate date(year, month, day);
    const QTime time(hour, minute, second, ms);
    if (!date.isValid() || !time.isValid())
        return std::nullopt;
    const QTimeZone zone(offset);
    if (!zone.isValid())
        return std::nullopt;
    return QDateTime(date, time, zone);
}

} // namespace

std::string displayDate(const std::string& text, const std::string& format, const QTimeZone& displayZone) {
    const auto when = parseServiceDate(text);
    if (!when)
        return {};
    return QLocale::c().toString(when->toTimeZone(displayZone), QString::fromStdString(format)).toStdString();
}

std::string displayDate(const std::string& text, const std::string& format) {
    const auto when = parseServiceDate(text);
    if (!when)
        return {};
    return QLocale::c().toString(when->toLocalTime(), QString::fromStdString(format)).toStdString();
}

int daysFromDate(const QDate& today, const std::string& day) {
    // yyyy-M-d, with one or two digits for month and day.
    const std::string_view text(day);
    std::size_t pos = 0;
    int year, month, dayOfMonth;
    const std::size_t monthDigits = text.size() > 5 ? digitRun(text, 5) : 0;
    if (day.size() > 10 || !readDigits(text, pos, 4, year) || !readChar(text, pos, '-') || monthDigits > 2 ||
        !readDigits(text, pos, monthDigits, month) || !readChar(text, pos, '-'))
        return 0;
    const std::size_t dayDigits = digitRun(text, pos);
    if (dayDigits > 2 || !readDigits(text, pos, dayDigits, dayOfMonth) || pos != text.size())
        return 0;
    const QDate target(year, month, dayOfMonth);
    if (!target.isValid())
        return 0;
    return static_cast<int>(today.daysTo(target));
}

int daysFromToday(const std::string& day) {
    return daysFromDate(QDate::currentDate(), day);
}

} // namespace nimo
