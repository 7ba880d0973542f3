#pragma once

#include <string>

namespace nimo::http {

// Timing of one request; absolute times are seconds since the Unix epoch.
struct Timeline {
    double requestStartTime = 0;
    double initialResponseTime = 0;
    double requestCompletedTime = 0;
    double serializationCompletedTime = 0;

    double latency() const { return initialResponseTime - requestStartTime; }
    double requestDuration() const { return requestCompletedTime - requestStartTime; }
    double serializationDuration() const { return serializationCompletedTime - requestCompletedTime; }
    double totalDuration() const { return serializationCompletedTime - requestStartTime; }

    std::string description() const;
    std::string debugDescription() const;
    void appendDebugDescription(std::string& out) const;

    static double now();
};

} // namespace nimo::http
