#pragma once

#include <optional>

class QApplication;

namespace nimo {

// The option that opens the diagnostic screen instead of the client.
inline constexpr const char* kDiagnosticOption = "--diagnostic-shell";

// When the process was started with the diagnostic option, shows the diagnostic screen in its own
// window and runs until it is closed, returning the exit code; otherwise none, and the client
// starts as usual. The diagnostic process leaves a running client alone.
std::optional<int> runDiagnosticEntry(QApplication& app);

} // namespace nimo
