#include "platform/ShellRunner.h"

#include "support/TestSupport.h"

#include <QFile>
#include <QTimer>
#include <gtest/gtest.h>

using namespace nimo;
using namespace nimo::platform;

namespace {

// A stand-in for pkexec: records its arguments one per line, then behaves as body says.
std::string fakePkexec(test::FakePrograms& programs, const std::string& argsFile, const std::string& body) {
    return programs.add("pkexec",
                        "for a in \"$@\"; do printf '%s\\n' \"$a\"; done > '" + argsFile + "'\n" + body);
}

// Runs what pkexec was given, as the real one does once authorised.
const char* const kAuthorised = "shift; exec \"$@\"";

} // namespace

// Commands reach the shell exactly as typed: one argument to -c, nothing pasted around it.
TEST(ShellRunner, CommandsRunAsTyped) {
    struct Case {
        std::string command, output;
    };
    const std::vector<Case> cases = {
        {R"sh(printf '%s|' "a b" 'c d' "$(echo e f)")sh", "a b|c d|e f|"},
        {R"sh(echo "it's" \"x\" `echo y` $((1+2)))sh", "it's \"x\" y 3\n"},
        {R"sh(x='$(touch /nonexistent/z)'; printf %s "$x")sh", "$(touch /nonexistent/z)"},
        {"printf '%s' \"$0\"", "/bin/sh"},
    };
    test::FakePrograms programs;
    test::TempXdg xdg;
    const std::string argsFile = xdg.path("pkexec-args");
    fakePkexec(programs, argsFile, kAuthorised);
    for (const Case& c : cases) {
        for (bool administrator : {false, true}) {
            SCOPED_TRACE(c.command + (administrator ? " as administrator" : ""));
            QFile::remove(QString::fromStdString(argsFile));
            const ShellRun run = runShell(c.command, administrator);
            EXPECT_TRUE(run.succeeded());
            EXPECT_EQ(run.standardOutput, c.output);
            EXPECT_EQ(run.standardError, "");
            const auto args = test::readFile(argsFile);
            if (administrator) {
                ASSERT_TRUE(args);
                EXPECT_EQ(*args, "--disable-internal-agent\n/bin/sh\n-c\n" + c.command + "\n");
            } else {
                EXPECT_FALSE(args) << "pkexec ran without being asked";
            }
        }
    }
}

TEST(ShellRunner, OutcomesOfFailures) {
    test::FakePrograms programs;
    test::TempXdg xdg;
    const std::string argsFile = xdg.path("pkexec-args");
    struct Case {
        std::string name, pkexecBody, command;
        bool administrator;
        ShellRun::Status status;
        int exitCode;
    };
    const std::string refusal = "echo 'Error executing command as another user: ";
    const std::vector<Case> cases = {
        {"command fails", kAuthorised, "echo oops >&2; exit 3", false, ShellRun::Status::Finished, 3},
        {"dismissed", refusal + "Request dismissed' >&2; exit 126", "true", true,
         ShellRun::Status::NotAuthorized, 126},
        {"not authorised", refusal + "Not authorized' >&2; exit 126", "true", true,
         ShellRun::Status::NotAuthorized, 126},
        {"no agent", refusal + "No authentication agent found.' >&2; exit 127", "true", true,
         ShellRun::Status::NoAuthenticationAgent, 127},
        // The command's own 127 (not found) under an authorised pkexec is the command's failure.
        {"command not found", kAuthorised, "no-such-command-here", true, ShellRun::Status::Finished, 127},
        {"killed", kAuthorised, "kill -9 $$", false, ShellRun::Status::Crashed, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fakePkexec(programs, argsFile, c.pkexecBody);
        const ShellRun run = runShell(c.command, c.administrator);
        EXPECT_EQ(run.status, c.status);
        EXPECT_EQ(run.exitCode, c.exitCode);
        EXPECT_FALSE(run.succeeded());
    }
    const ShellRun failed = runShell("echo oops >&2; exit 3", false);
    EXPECT_EQ(failed.standardError, "oops\n");

    // No pkexec anywhere on PATH.
    const test::ScopedEnv emptyPath("PATH", xdg.path("nothing"));
    EXPECT_EQ(runShell("true", true).status, ShellRun::Status::PkexecMissing);
    EXPECT_TRUE(runShell("true", false).succeeded()); // /bin/sh needs no PATH
}

// The caller's loop turns while the command runs: a timer of the test lets the command finish.
TEST(ShellRunner, EventLoopKeepsRunning) {
    test::TempXdg xdg;
    const std::string flag = xdg.path("flag");
    QObject owner;
    QTimer::singleShot(0, &owner, [&] { QFile(QString::fromStdString(flag)).open(QIODevice::WriteOnly); });
    // Waits up to 20 s for the flag; a blocked loop would make the command give up with 1.
    const ShellRun run = runShell("i=0; while [ ! -e '" + flag +
                                      "' ]; do i=$((i+1)); [ $i -gt 2000 ] && exit 1; sleep 0.01; done",
                                  false);
    EXPECT_TRUE(run.succeeded());
}

TEST(ShellRunner, OutputIsBounded) {
    const ShellRun run = runShell("head -c 3000000 /dev/zero; echo done >&2", false);
    EXPECT_TRUE(run.succeeded());
    EXPECT_TRUE(run.truncated);
    EXPECT_EQ(run.standardOutput.size(), kMaxShellCapture);
    EXPECT_EQ(run.standardError, "done\n");
}
