#include "app/ShellCommand.h"

#include "app/MainViewController.h"
#include "platform/Log.h"
#include "platform/Paths.h"
#include "support/TestSupport.h"
#include "widgets/Frames.h"

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QTimer>
#include <gtest/gtest.h>

using namespace nimo;

namespace {

// Answers every alert that comes up with its first button ("OK") and keeps what it said.
struct AlertAnswerer {
    struct Seen {
        QString text, informativeText;
        QStringList buttons;
    };
    std::vector<Seen> seen;
    QTimer timer;

    AlertAnswerer() {
        timer.setInterval(5);
        QObject::connect(&timer, &QTimer::timeout, [this] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!box || !box->isVisible())
                return;
            Seen s{box->text(), box->informativeText(), {}};
            for (QAbstractButton* b : box->buttons())
                s.buttons << b->text();
            seen.push_back(s);
            box->buttons().first()->click();
        });
        timer.start();
    }
};

const char* const kAuthorised = "shift; exec \"$@\"";

} // namespace

// The whole road: the logged script text, the run, the alert, the console lines and the outcome.
TEST(ShellCommand, AlertsAndOutcomes) {
    struct Case {
        const char* name;
        std::string command;
        bool administrator;
        std::optional<std::string> pkexecBody; // none: no pkexec on PATH
        QString alert;
        std::optional<std::string> output; // none: failed
    };
    const std::string refusal = "echo 'Error executing command as another user: ";
    const std::vector<Case> cases = {
        {"plain success", "printf 'hi \"there\"\\n'", false, kAuthorised, "Success!", "hi \"there\""},
        {"administrator", "echo $(echo root-ish)", true, kAuthorised, "Success!", "root-ish"},
        {"no output", "true", false, kAuthorised, "Success!", ""},
        {"command fails", "echo broken >&2; exit 2", false, kAuthorised,
         "命令执行失败（退出状态 2）：\nbroken", std::nullopt},
        {"pkexec missing", "true", true, std::nullopt,
         "无法获取管理员权限：系统中没有 pkexec。请安装 pkexec 软件包后重试，命令没有执行。", std::nullopt},
        {"dismissed", "true", true, refusal + "Request dismissed' >&2; exit 126",
         "未获得管理员授权：身份验证未通过或已被取消，命令没有执行。", std::nullopt},
        {"no agent", "true", true, refusal + "No authentication agent found.' >&2; exit 127",
         "无法请求管理员授权：没有正在运行的身份验证代理（polkit agent），命令没有执行。", std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::TempXdg xdg;
        test::FakePrograms programs;
        std::optional<test::ScopedEnv> path;
        if (c.pkexecBody)
            programs.add("pkexec", *c.pkexecBody);
        else
            path.emplace("PATH", programs.dir());
        platform::ScopedLogCapture log;
        AlertAnswerer answerer;
        const ShellOutcome outcome = runShellCommand(c.command, c.administrator);

        EXPECT_EQ(outcome.success, c.output.has_value());
        EXPECT_EQ(outcome.output, c.output);
        ASSERT_EQ(answerer.seen.size(), 1u);
        EXPECT_EQ(answerer.seen[0].text, c.alert);
        EXPECT_EQ(answerer.seen[0].informativeText, c.alert);
        EXPECT_EQ(answerer.seen[0].buttons, (QStringList{"OK", "Cancel"}));
        const std::string script = "do shell script \"" + c.command + "\"" +
                                   (c.administrator ? " with administrator privileges" : "");
        EXPECT_EQ(log.lines(platform::LogChannel::Console).at(0), "runShellCommand: " + script);
        const auto out = log.lines(platform::LogChannel::Stdout);
        if (c.output)
            EXPECT_TRUE(out.empty());
        else
            EXPECT_EQ(out, std::vector<std::string>{"执行 \n" + c.command +
                                                    "\n命令出错: " + c.alert.toStdString()});
    }
}

TEST(ShellCommand, ScriptSourceHasNothingAfterTheCommand) {
    EXPECT_EQ(shellScriptSource("ls -l", false), "do shell script \"ls -l\"");
    EXPECT_EQ(shellScriptSource("ls", true), "do shell script \"ls\" with administrator privileges");
}

// The diagnostic screen: its look, and its button running the shipped test script as administrator.
TEST(MainViewController, ButtonRunsTheTestScript) {
    test::FakePrograms programs;
    programs.add("pkexec", kAuthorised);
    MainViewController controller;
    QWidget* view = controller.view();
    EXPECT_EQ(view->size(), QSize(920, 580));
    EXPECT_EQ(view->palette().color(QPalette::Window), QColor(0, 255, 0));
    ASSERT_TRUE(controller.button());
    EXPECT_EQ(controller.button()->text(), "拷贝");
    EXPECT_EQ(frameOf(controller.button()), QRectF(100, 100, 100, 100));
    ASSERT_TRUE(
        QFileInfo::exists(QString::fromStdString(platform::paths::resourcesDir() + "/install_test.sh")));

    platform::ScopedLogCapture log;
    AlertAnswerer answerer;
    controller.button()->click();
    ASSERT_EQ(answerer.seen.size(), 1u);
    EXPECT_EQ(answerer.seen[0].text, "Success!");
    EXPECT_TRUE(controller.button()->isEnabled());
    const auto console = log.lines(platform::LogChannel::Console);
    ASSERT_EQ(console.size(), 2u);
    EXPECT_EQ(console[0], "runShellCommand: do shell script \"bash '" + platform::paths::resourcesDir() +
                              "/install_test.sh'\" with administrator privileges");
    EXPECT_EQ(console[1].rfind("true,Optional(\"user: ", 0), 0u) << console[1];

    EXPECT_EQ(MainViewController::outcomeLine({false, std::nullopt}), "false,nil");
    EXPECT_EQ(MainViewController::shellQuoted("/a b/it's"), "'/a b/it'\\''s'");
}
