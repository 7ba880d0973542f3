#include "app/ShellCommand.h"

#include "platform/Log.h"

#include <QMessageBox>

namespace nimo {

namespace {

// Enough of a failing command's error output to tell what went wrong; the rest would only push
// the buttons off the screen.
constexpr qsizetype kMaxAlertErrorChars = 2000;

void showAlert(const QString& text, QWidget* parent) {
    QMessageBox alert(parent);
    alert.setObjectName(QStringLiteral("ShellCommandAlert"));
    alert.setText(text);
    alert.setInformativeText(text);
    alert.addButton(QStringLiteral("OK"), QMessageBox::AcceptRole);
    alert.addButton(QStringLiteral("Cancel"), QMessageBox::RejectRole);
    alert.setWindowModality(Qt::ApplicationModal);
    alert.exec();
}

} // namespace

std::string shellScriptSource(const std::string& command, bool administrator) {
    std::string source = "do shell script \"" + command + "\"";
    if (administrator)
        source += " with administrator privileges";
    return source;
}

QString shellErrorText(const platform::ShellRun& run) {
    using Status = platform::ShellRun::Status;
    switch (run.status) {
    case Status::PkexecMissing:
        return QStringLiteral(
            "无法获取管理员权限：系统中没有 pkexec。请安装 pkexec 软件包后重试，命令没有执行。");
    case Status::NotAuthorized:
        return QStringLiteral("未获得管理员授权：身份验证未通过或已被取消，命令没有执行。");
    case Status::NoAuthenticationAgent:
        return QStringLiteral(
            "无法请求管理员授权：没有正在运行的身份验证代理（polkit agent），命令没有执行。");
    case Status::FailedToStart:
        return QStringLiteral("无法启动命令：%1").arg(QString::fromStdString(run.startError));
    case Status::Crashed:
        return QStringLiteral("命令被信号终止，没有正常结束。");
    case Status::Finished:
        break;
    }
    QString text = QStringLiteral("命令执行失败（退出状态 %1）").arg(run.exitCode);
    QString detail = QString::fromUtf8(run.standardError).trimmed();
    if (detail.size() > kMaxAlertErrorChars)
        detail = detail.left(kMaxAlertErrorChars) + QStringLiteral("…");
    if (!detail.isEmpty())
        text += QStringLiteral("：\n") + detail;
    return text;
}

ShellOutcome runShellCommand(const std::string& command, bool administrator, QWidget* alertParent) {
    platform::consoleLog("runShellCommand: " + shellScriptSource(command, administrator));
    const platform::ShellRun run = platform::runShell(command, administrator);
    if (!run.succeeded()) {
        const QString error = shellErrorText(run);
        showAlert(error, alertParent);
        platform::printLine("执行 \n" + command + "\n命令出错: " + error.toStdString());
        return {false, std::nullopt};
    }
    showAlert(QStringLiteral("Success!"), alertParent);
    std::string output = run.standardOutput;
    // The script's result is its output without the final line break.
    if (!output.empty() && output.back() == '\n')
        output.pop_back();
    return {true, output};
}

} // namespace nimo
