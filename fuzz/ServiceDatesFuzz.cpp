// Dates as the service sends them (any text): the display form and the day count never fail.
#include "service/ServiceDates.h"

#include <QDate>
#include <QTimeZone>
#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    const std::string input(reinterpret_cast<const char*>(bytes), size);
    // First line: the text; the rest: the display format.
    const auto newline = input.find('\n');
    const std::string text = input.substr(0, newline);
    const std::string format = newline == std::string::npos ? "yyyy-MM-dd" : input.substr(newline + 1);
    (void)nimo::displayDate(text, format, QTimeZone::utc());
    (void)nimo::daysFromDate(QDate(2026, 12, 7), text);
    return 0;
}
