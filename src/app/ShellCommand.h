#pragma once

#include "platform/ShellRunner.h"

#include <QString>
#include <optional>
#include <string>

class QWidget;

namespace nimo {

struct ShellOutcome {
    bool success = false;
    std::optional<std::string> output; // the command's standard output on success
};

// The script text logged as the command that runs: "do shell script \"<command>\"", with
// " with administrator privileges" after it when asked.
std::string shellScriptSource(const std::string& command, bool administrator);

// The text the error alert shows for a run that did not succeed.
QString shellErrorText(const platform::ShellRun& run);

// Runs command through /bin/sh (pkexec for administrator), then tells the user in an
// application-modal alert with "OK" and "Cancel": "Success!", or what went wrong. The window keeps
// painting while the command runs.
ShellOutcome runShellCommand(const std::string& command, bool administrator, QWidget* alertParent = nullptr);

} // namespace nimo
