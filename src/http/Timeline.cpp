#include "http/Timeline.h"

#include <charconv>
#include <chrono>

namespace nimo::http {

namespace {
// "%.3f" without printf: one reply's description formats eight of these.
void appendFixed3(std::string& out, double v) {
    char buf[64];
    const auto end = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, 3).ptr;
    out.append(buf, end);
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
    return out;
}

} // namespace nimo::http
