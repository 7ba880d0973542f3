#include "http/Timeline.h"

#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <limits>

namespace nimo::http {

namespace {
// "%.3f" without printf: one reply's description formats eight of these.
void appendFixed3(std::string& out, double v) {
    // v * 1000 is exact in a 64-bit mantissa (53 + 10 bits), so rounding it to an integer (ties to
    // even, as printf does) gives the same three decimals; then only integers are formatted.
    const long double scaled = static_cast<long double>(v) * 1000.0L;
    if (std::numeric_limits<long double>::digits < 64 || !(std::fabs(scaled) < 1e18L)) {
        char wide[400]; // 1e308 has 309 digits before the point
        out.append(wide, std::to_chars(wide, wide + sizeof wide, v, std::chars_format::fixed, 3).ptr);
        return;
    }
    char buf[24];
    const long long millis = std::llabs(std::llrint(scaled));
    if (std::signbit(v))
        out += '-';
    out.append(buf, std::to_chars(buf, buf + sizeof buf, millis / 1000).ptr);
    const auto frac = static_cast<int>(millis % 1000);
    const char decimals[4] = {'.', static_cast<char>('0' + frac / 100),
                              static_cast<char>('0' + frac / 10 % 10), static_cast<char>('0' + frac % 10)};
    out.append(decimals, 4);
}

void appendDurations(std::string& out, const Timeline& t) {
    out += "\"Latency\": ";
    appendFixed3(out, t.latency());
    out += " secs, \"Request Duration\": ";
    appendFixed3(out, t.requestDuration());
    out += " secs, \"Serialization Duration\": ";
    appendFixed3(out, t.serializationDuration());
    out += " secs, \"Total Duration\": ";
    appendFixed3(out, t.totalDuration());
    out += " secs";
}
} // namespace

double Timeline::now() {
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count();
}

std::string Timeline::description() const {
    std::string out = "Timeline: { ";
    appendDurations(out, *this);
    out += " }";
    return out;
}

std::string Timeline::debugDescription() const {
    std::string out;
    out.reserve(320);
    appendDebugDescription(out);
    return out;
}

void Timeline::appendDebugDescription(std::string& out) const {
    out += "Timeline: { \"Request Start Time\": ";
    appendFixed3(out, requestStartTime);
    out += ", \"Initial Response Time\": ";
    appendFixed3(out, initialResponseTime);
    out += ", \"Request Completed Time\": ";
    appendFixed3(out, requestCompletedTime);
    out += ", \"Serialization Completed Time\": ";
    appendFixed3(out, serializationCompletedTime);
    out += ", ";
    appendDurations(out, *this);
    out += " }";
}

} // namespace nimo::http
