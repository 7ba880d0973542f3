#pragma once

#include <QDate>
#include <QTimeZone>
#include <string>

namespace nimo {

// The service's date text (an internet date-time such as "2025-03-01T12:00:00+08:00" or
// "2025-03-01T12:00:00.123Z") formatted for display in the current time zone; "" when it does not
// parse. format uses the y M d H m s letters ("yyyy-MM-dd HH:mm:ss").
std::string displayDate(const std::string& text, const std::string& format);
std::string displayDate(const std::string& text, const std::string& format, const QTimeZone& displayZone);

// Whole days from today to a "yyyy-MM-dd" day in the current calendar: negative once it has passed,
// 0 on the day. A text that is not such a day gives 0, so the screens show "0天" rather than a
// made-up count.
int daysFromToday(const std::string& day);
int daysFromDate(const QDate& today, const std::string& day);

} // namespace nimo
