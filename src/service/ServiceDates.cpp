#include "service/ServiceDates.h"

#include <QDateTime>
#include <QLocale>
#include <optional>
#include <string_view>

namespace nimo {

namespace {

// The run of ASCII digits at `pos`, if its length is within [least, most]: moved past, its value
// in `out` and its length in `digits`. Anything else fails and leaves `pos` where it was.
bool readNumber(std::string_view text, std::size_t& pos, std::size_t least, std::size_t most, int& out,
                std::size_t* digits = nullptr) {
    std::size_t n = 0;
    long long value = 0;
    while (n <= most && pos + n < text.size() && text[pos + n] >= '0' && text[pos + n] <= '9')
        value = value * 10 + (text[pos + n++] - '0');
    if (n < least || n > most)
        return false;
    pos += n;
    out = static_cast<int>(value);
    if (digits)
        *digits = n;
    return true;
}

bool readChar(std::string_view text, std::size_t& pos, char c) {
    if (pos >= text.size() || text[pos] != c)
        return false;
    ++pos;
    return true;
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
    if (!readNumber(text, pos, 4, 4, year) || !readChar(text, pos, '-') ||
        !readNumber(text, pos, 2, 2, month) || !readChar(text, pos, '-') ||
        !readNumber(text, pos, 2, 2, day) || !readChar(text, pos, 'T') ||
        !readNumber(text, pos, 2, 2, hour) || !readChar(text, pos, ':') ||
        !readNumber(text, pos, 2, 2, minute) || !readChar(text, pos, ':') ||
        !readNumber(text, pos, 2, 2, second))
        return std::nullopt;

    int ms = 0;
    bool fraction = false;
    if (readChar(text, pos, '.')) {
        std::size_t digits = 0;
        if (!readNumber(text, pos, 1, 9, ms, &digits))
            return std::nullopt;
        for (; digits > 3; --digits)
            ms /= 10;
        for (; digits < 3; ++digits)
            ms *= 10;
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
        if (!readNumber(text, pos, 2, 2, hours) || !readChar(text, pos, ':') ||
            !readNumber(text, pos, 2, 2, minutes))
            return std::nullopt;
        if (readChar(text, pos, ':')) {
            if (fraction || !readNumber(text, pos, 2, 2, seconds)) // no accepted shape has both
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
    if (day.size() > 10 || !readNumber(text, pos, 4, 4, year) || !readChar(text, pos, '-') ||
        !readNumber(text, pos, 1, 2, month) || !readChar(text, pos, '-') ||
        !readNumber(text, pos, 1, 2, dayOfMonth) || pos != text.size())
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
