#include "app/MainViewController.h"

#include "platform/Log.h"
#include "platform/Paths.h"
#include "widgets/Frames.h"

#include <QFileInfo>
#include <QMessageBox>
#include <QPushButton>
#include <QWidget>

namespace nimo {

MainViewController::MainViewController(QObject* parent) : QObject(parent) {}

MainViewController::~MainViewController() = default;

QWidget* MainViewController::view() {
    if (!view_) {
        loadView();
        viewDidLoad();
    }
    return view_.get();
}

void MainViewController::loadView() {
    view_ = std::make_unique<QWidget>();
    view_->setObjectName(QStringLiteral("MainViewController"));
    view_->setWindowTitle(QStringLiteral("NimoMac"));
    view_->setFixedSize(kWidth, kHeight);
}

void MainViewController::viewDidLoad() {
    view_->setAutoFillBackground(true);
    QPalette palette = view_->palette();
    palette.setColor(QPalette::Window, QColor(0, 255, 0));
    view_->setPalette(palette);

    button_ = new QPushButton(QStringLiteral("拷贝"), view_.get());
    button_->setObjectName(QStringLiteral("tapButton"));
    button_->setStyleSheet(QStringLiteral("QPushButton { border: 1px solid red; }"));
    setFrame(button_, 100, 100, 100, 100);
    connect(button_, &QPushButton::clicked, this, &MainViewController::tapButton);
}

std::string MainViewController::shellQuoted(const std::string& path) {
    std::string out = "'";
    for (char c : path) {
        if (c == '\'')
            out += "'\\''";
        else
            out.push_back(c);
    }
    return out + "'";
}

std::string MainViewController::outcomeLine(const ShellOutcome& outcome) {
    std::string line = outcome.success ? "true," : "false,";
    return line + (outcome.output ? "Optional(\"" + *outcome.output + "\")" : std::string("nil"));
}

void MainViewController::tapButton() {
    const std::string script = platform::paths::resourcesDir() + "/" + kTestScript;
    if (!QFileInfo(QString::fromStdString(script)).isFile()) {
        platform::consoleLog("tapButton: resource missing: " + script);
        QMessageBox::warning(
            view(), QStringLiteral("NimoMac"),
            QStringLiteral("找不到测试脚本 %1，安装可能不完整。").arg(QString::fromLatin1(kTestScript)));
        return;
    }
    // One run at a time: the window keeps handling clicks while the command runs.
    button_->setEnabled(false);
    QPointer<MainViewController> self(this);
    const ShellOutcome outcome = runShellCommand("bash " + shellQuoted(script), true, view());
    platform::consoleLog(outcomeLine(outcome));
    if (self && button_)
        button_->setEnabled(true);
}

} // namespace nimo
