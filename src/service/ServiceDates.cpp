#include "service/ServiceDates.h"

#include <QDateTime>
#include <QLocale>
#include <QRegularExpression>
#include <optional>

namespace nimo {

namespace {

// One expression for the three accepted shapes: an internet date-time with fractional seconds, one
// without, and the "yyyy-MM-dd'T'HH:mm:ssXXXXX" pattern, whose zone may also carry seconds.
std::optional<QDateTime> parseServiceDate(const std::string& text) {
    static const QRegularExpression shape(
        "^([0-9]{4})-([0-9]{2})-([0-9]{2})T([0-9]{2}):([0-9]{2}):([0-9]{2})(?:\\.([0-9]{1,9}))?"
        "(Z|([+-])([0-9]{2}):([0-9]{2})(?::([0-9]{2}))?)$");
    if (text.size() > 64)
        return std::nullopt;
    const auto m = shape.match(QString::fromStdString(text));
    if (!m.hasMatch())
        return std::nullopt;
    const bool fraction = m.capturedLength(7) > 0;
    const bool zoneSeconds = m.capturedLength(12) > 0;
    if (fraction && zoneSeconds) // no accepted shape has both
        return std::nullopt;

    const QDate date(m.captured(1).toInt(), m.captured(2).toInt(), m.captured(3).toInt());
    const int ms = fraction ? m.captured(7).leftJustified(3, '0').left(3).toInt() : 0;
    const QTime time(m.captured(4).toInt(), m.captured(5).toInt(), m.captured(6).toInt(), ms);
    if (!date.isValid() || !time.isValid())
        return std::nullopt;

    int offset = 0;
    if (m.captured(8) != "Z") {
        const int hours = m.captured(10).toInt(), minutes = m.captured(11).toInt();
        const int seconds = zoneSeconds ? m.captured(12).toInt() : 0;
        if (minutes > 59 || seconds > 59)
            return std::nullopt;
        offset = (hours * 3600 + minutes * 60 + seconds) * (m.captured(9) == "-" ? -1 : 1);
    }
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
    static const QRegularExpression shape("^([0-9]{4})-([0-9]{1,2})-([0-9]{1,2})$");
    if (day.size() > 10)
        return 0;
    const auto m = shape.match(QString::fromStdString(day));
    if (!m.hasMatch())
        return 0;
    const QDate target(m.captured(1).toInt(), m.captured(2).toInt(), m.captured(3).toInt());
    if (!target.isValid())
        return 0;
    return static_cast<int>(today.daysTo(target));
}

int daysFromToday(const std::string& day) {
    return daysFromDate(QDate::currentDate(), day);
}

} // namespace nimo
