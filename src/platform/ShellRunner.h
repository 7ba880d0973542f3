#pragma once

#include <string>

namespace nimo::platform {

// How one run of a shell command ended.
struct ShellRun {
    enum class Status {
        Finished,              // the shell ran and exited; exitCode is its status
        PkexecMissing,         // administrator asked, but no pkexec on PATH
        NotAuthorized,         // pkexec refused: the user was not authorised or dismissed the prompt
        NoAuthenticationAgent, // pkexec found no agent to ask the user with
        FailedToStart,         // the shell (or pkexec) could not be started
        Crashed,               // ended by a signal, or ended because the application quit
    };
    Status status = Status::FailedToStart;
    int exitCode = -1;
    std::string standardOutput; // at most kMaxCapture bytes of each stream are kept
    std::string standardError;
    bool truncated = false; // output beyond kMaxCapture was dropped
    std::string startError; // why the start failed

    bool succeeded() const { return status == Status::Finished && exitCode == 0; }
};

inline constexpr size_t kMaxShellCapture = 1024 * 1024;

// Runs "/bin/sh -c command", the command being one argument exactly as given; with administrator,
// through "pkexec --disable-internal-agent /bin/sh -c command" (a prompt in a terminal nobody sees
// would hang the caller). Returns when the command ends; the caller's event loop keeps running
// meanwhile, so its windows keep painting and its timers fire. Standard input is closed.
ShellRun runShell(const std::string& command, bool administrator);

} // namespace nimo::platform
