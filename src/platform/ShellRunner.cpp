#include "platform/ShellRunner.h"

#include <QEventLoop>
#include <QProcess>
#include <QStandardPaths>

namespace nimo::platform {

namespace {

// pkexec ends with these when it refused to run the program; the program's own 126 and 127 (not
// executable, not found) come without pkexec's line on standard error.
constexpr int kPkexecNotAuthorized = 126;
constexpr int kPkexecNoAgent = 127;
constexpr const char* kPkexecRefusalLine = "Error executing command as another user";

void append(std::string& to, const QByteArray& chunk, bool& truncated) {
    const size_t room = kMaxShellCapture - std::min(kMaxShellCapture, to.size());
    if (size_t(chunk.size()) > room)
        truncated = true;
    to.append(chunk.constData(), std::min(room, size_t(chunk.size())));
}

} // namespace

ShellRun runShell(const std::string& command, bool administrator) {
    ShellRun run;
    QString program = QStringLiteral("/bin/sh");
    QStringList arguments{QStringLiteral("-c"), QString::fromStdString(command)};
    if (administrator) {
        const QString pkexec = QStandardPaths::findExecutable(QStringLiteral("pkexec"));
        if (pkexec.isEmpty()) {
            run.status = ShellRun::Status::PkexecMissing;
            return run;
        }
        arguments.prepend(program);
        arguments.prepend(QStringLiteral("--disable-internal-agent"));
        program = pkexec;
    }

    QProcess process;
    QEventLoop loop;
    bool ended = false;
    QObject::connect(&process, &QProcess::readyReadStandardOutput, &process,
                     [&] { append(run.standardOutput, process.readAllStandardOutput(), run.truncated); });
    QObject::connect(&process, &QProcess::readyReadStandardError, &process,
                     [&] { append(run.standardError, process.readAllStandardError(), run.truncated); });
    QObject::connect(&process, &QProcess::finished, &loop, [&] {
        ended = true;
        loop.quit();
    });
    QObject::connect(&process, &QProcess::errorOccurred, &loop, [&](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart) {
            ended = true;
            loop.quit();
        }
    });
    process.setProgram(program);
    process.setArguments(arguments);
    process.start(QIODevice::ReadWrite);
    process.closeWriteChannel();
    if (!ended)
        loop.exec(QEventLoop::AllEvents);
    if (!ended) {
        // The application is quitting and took this loop with it: the command does not outlive it.
        process.kill();
        process.waitForFinished(1000);
        run.status = ShellRun::Status::Crashed;
        return run;
    }

    if (process.error() == QProcess::FailedToStart) {
        run.status = ShellRun::Status::FailedToStart;
        run.startError = process.errorString().toStdString();
        return run;
    }
    append(run.standardOutput, process.readAllStandardOutput(), run.truncated);
    append(run.standardError, process.readAllStandardError(), run.truncated);
    if (process.exitStatus() == QProcess::CrashExit) {
        run.status = ShellRun::Status::Crashed;
        return run;
    }
    run.exitCode = process.exitCode();
    run.status = ShellRun::Status::Finished;
    if (administrator && run.standardError.find(kPkexecRefusalLine) != std::string::npos) {
        if (run.exitCode == kPkexecNotAuthorized)
            run.status = ShellRun::Status::NotAuthorized;
        else if (run.exitCode == kPkexecNoAgent)
            run.status = ShellRun::Status::NoAuthenticationAgent;
    }
    return run;
}

} // namespace nimo::platform
