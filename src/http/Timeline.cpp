#include "http/Timeline.h"

#include <chrono>
#include <cstdio>

namespace nimo::http {

namespace {
std::string fixed3(double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.3f", v);
    return buf;
}

std::string durations(const Timeline& t) {
    return "\"Latency\": " + fixed3(t.latency()) +
           " secs, \"Request Duration\": " + fixed3(t.requestDuration()) +
           " secs, \"Serialization Duration\": " + fixed3(t.serializationDuration()) +
           " secs, \"Total Duration\": " + fixed3(t.totalDuration()) + " secs";
}
} // namespace

double Timeline::now() {
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count();
}

std::string Timeline::description() const {
    return "Timeline: { " + durations(*this) + " }";
}

std::string Timeline::debugDescription() const {
    return "Timeline: { \"Request Start Time\": " + fixed3(requestStartTime) +
           ", \"Initial Response Time\": " + fixed3(initialResponseTime) +
           ", \"Request Completed Time\": " + fixed3(requestCompletedTime) +
           ", \"Serialization Completed Time\": " + fixed3(serializationCompletedTime) + ", " +
           durations(*this) + " }";
}

} // namespace nimo::http
