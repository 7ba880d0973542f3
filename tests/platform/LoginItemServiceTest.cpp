#include "platform/LoginItemService.h"

#include "platform/Paths.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <gtest/gtest.h>

using namespace nimo;
using namespace nimo::platform;

namespace {

// An executable file at dir/name, standing in for the installed client.
std::string makeApp(const test::TempXdg& xdg, const std::string& name) {
    const std::string dir = xdg.path("apps");
    QDir().mkpath(QString::fromStdString(dir));
    const std::string path = dir + "/" + name;
    QFile f(QString::fromStdString(path));
    EXPECT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("#!/bin/sh\n");
    f.close();
    f.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    return path;
}

QStringList entries() {
    return QDir(QString::fromStdString(paths::autostartDir()))
        .entryList({"*.desktop"}, QDir::Files, QDir::Name);
}

void writeEntry(const std::string& name, const std::string& content) {
    QDir().mkpath(QString::fromStdString(paths::autostartDir()));
    QFile f(QString::fromStdString(paths::autostartDir() + "/" + name));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(content.data(), qint64(content.size()));
}

// What desktop-file-validate says about a file: empty when it accepts it.
std::string validatorComplaints(const QString& file) {
    QProcess validate;
    validate.start(QStringLiteral("desktop-file-validate"), {file});
    if (!validate.waitForFinished(20000))
        return "desktop-file-validate did not run (package desktop-file-utils)";
    const std::string out =
        (validate.readAllStandardOutput() + validate.readAllStandardError()).toStdString();
    return validate.exitCode() == 0 && out.empty()
               ? ""
               : out + " (exit " + std::to_string(validate.exitCode()) + ")";
}

} // namespace

TEST(LoginItems, AddTwiceIsRemoveTwice) {
    test::TempXdg xdg;
    const std::string app = makeApp(xdg, "nimo");
    EXPECT_FALSE(LoginItemService::isLoginItem(app));
    EXPECT_FALSE(LoginItemService::removeLoginItem(app)); // no folder yet: nothing there
    EXPECT_TRUE(LoginItemService::addLoginItem(app));
    EXPECT_FALSE(LoginItemService::addLoginItem(app));
    EXPECT_TRUE(LoginItemService::isLoginItem(app));
    ASSERT_EQ(entries(), QStringList{"nimo.desktop"});
    EXPECT_EQ(validatorComplaints(QString::fromStdString(paths::autostartDir()) + "/nimo.desktop"), "");
    // The same file reached through another spelling of its path is the same item.
    EXPECT_TRUE(LoginItemService::isLoginItem(xdg.path("apps/./../apps/nimo")));
    EXPECT_TRUE(LoginItemService::removeLoginItem(app));
    EXPECT_FALSE(LoginItemService::removeLoginItem(app));
    EXPECT_FALSE(LoginItemService::isLoginItem(app));
    EXPECT_TRUE(entries().isEmpty());
    EXPECT_FALSE(LoginItemService::isLoginItem(""));
    EXPECT_FALSE(LoginItemService::addLoginItem(""));
}

// Paths a user may install to, each written so the session starts exactly that file.
TEST(LoginItems, AwkwardPathsRoundTripAndValidate) {
    const std::vector<std::string> names = {
        "nimo client",        // blank
        "nimo\"quoted\"",     // double quote
        "it's nimo",          // single quote
        "back\\slash",        // backslash: doubled twice, once for the quoting, once for the value
        "cost$HOME`x`",       // expansions that must stay literal
        "100% nimo",          // percent, which launchers read as a field code
        "中文 客户端",        // UTF-8
        "semi;colon&amp|(x)", // shell operators
    };
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        test::TempXdg xdg;
        const std::string app = makeApp(xdg, name);
        ASSERT_TRUE(LoginItemService::addLoginItem(app));
        EXPECT_TRUE(LoginItemService::isLoginItem(app));
        const QString file = QString::fromStdString(paths::autostartDir()) + "/nimo.desktop";
        EXPECT_EQ(validatorComplaints(file), "");
        // Read back by the rules a session reads it with: one argument, the path itself.
        const auto text = test::readFile(file.toStdString());
        ASSERT_TRUE(text);
        const size_t at = text->find("\nExec=");
        ASSERT_NE(at, std::string::npos);
        const std::string exec = text->substr(at + 6, text->find('\n', at + 1) - at - 6);
        const auto args = desktopentry::splitExec(desktopentry::unescapeValue(exec));
        ASSERT_TRUE(args);
        EXPECT_EQ(*args, std::vector<std::string>{app});
        EXPECT_TRUE(LoginItemService::removeLoginItem(app));
        EXPECT_FALSE(LoginItemService::isLoginItem(app));
    }
    // A path no desktop entry can carry is refused, not written broken.
    test::TempXdg xdg;
    const std::string app = makeApp(xdg, "line\nbreak");
    EXPECT_FALSE(LoginItemService::addLoginItem(app));
    EXPECT_TRUE(entries().isEmpty());
}

TEST(LoginItems, EntriesThatDoNotResolveAreIgnored) {
    test::TempXdg xdg;
    const std::string app = makeApp(xdg, "nimo");
    const std::string other = makeApp(xdg, "other");
    const std::string entry = "[Desktop Entry]\nType=Application\nName=x\nExec=";
    writeEntry("nimo.desktop", entry + xdg.path("gone/nimo") + "\n");               // target removed
    writeEntry("hidden.desktop", entry + app + "\nHidden=true\n");                  // deleted by the user
    writeEntry("off.desktop", entry + app + "\nX-GNOME-Autostart-enabled=false\n"); // switched off
    writeEntry("other.desktop", entry + other + " --tray\n");                       // another program
    writeEntry("open.desktop", entry + "\"" + app + "\n");                          // quote left open
    writeEntry("group.desktop", "[Other Group]\nExec=" + app + "\n");               // not the entry group
    writeEntry("relative.desktop", entry + "apps/nimo\n"); // no folder to be relative to
    writeEntry("binary.desktop", std::string("\0\xff[Desktop Entry]\nExec=\xfe\n", 25));
    writeEntry("huge.desktop", entry + app + "\n" + std::string(200000, '#'));
    EXPECT_FALSE(LoginItemService::isLoginItem(app));
    EXPECT_FALSE(LoginItemService::removeLoginItem(app));
    EXPECT_TRUE(LoginItemService::isLoginItem(other));

    // Adding writes beside them under a free name and touches none of them.
    const QStringList before = entries();
    ASSERT_TRUE(LoginItemService::addLoginItem(app));
    EXPECT_EQ(entries().size(), before.size() + 1);
    EXPECT_TRUE(entries().contains("nimo-2.desktop"));
    ASSERT_TRUE(LoginItemService::removeLoginItem(app));
    EXPECT_EQ(entries(), before);
}

TEST(LoginItems, RemoveTakesEveryEntryOfTheApplication) {
    test::TempXdg xdg;
    const std::string app = makeApp(xdg, "nimo app");
    const std::string entry = "[Desktop Entry]\nType=Application\nName=x\nExec=";
    writeEntry("a.desktop", entry + "\"" + app + "\" %U\n");
    writeEntry("b.desktop", "# by hand\n[Desktop Entry]\r\nExec = " +
                                desktopentry::escapeValue("\"" + app + "\"") + "\r\nName=y\r\n");
    // A bare name is looked up on PATH, as the session does.
    const test::ScopedEnv path("PATH", xdg.path("apps") + ":/usr/bin:/bin");
    const std::string bare = makeApp(xdg, "nimo-bare");
    writeEntry("c.desktop", entry + "nimo-bare\n");
    // A command link into the package is the application itself.
    ASSERT_TRUE(QFile::link(QString::fromStdString(app), QString::fromStdString(xdg.path("apps/nimo-link"))));
    writeEntry("d.desktop", entry + "nimo-link\n");
    EXPECT_TRUE(LoginItemService::isLoginItem(app));
    EXPECT_TRUE(LoginItemService::isLoginItem(bare));
    EXPECT_FALSE(LoginItemService::addLoginItem(app));
    EXPECT_TRUE(LoginItemService::removeLoginItem(app));
    EXPECT_EQ(entries(), QStringList{"c.desktop"});
    EXPECT_FALSE(LoginItemService::isLoginItem(app));
}

TEST(LoginItems, UnusableFolderAnswersFalse) {
    test::TempXdg xdg;
    const std::string app = makeApp(xdg, "nimo");
    QDir().mkpath(QString::fromStdString(paths::configHome()));
    QFile blocker(QString::fromStdString(paths::autostartDir()));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly)); // a file where the folder should be
    blocker.close();
    EXPECT_FALSE(LoginItemService::addLoginItem(app));
    EXPECT_FALSE(LoginItemService::isLoginItem(app));
    EXPECT_FALSE(LoginItemService::removeLoginItem(app));
}

TEST(DesktopEntry, ExecQuotingTable) {
    struct Case {
        std::string program, quoted;
    };
    const std::vector<Case> cases = {
        {"/usr/bin/nimo", "/usr/bin/nimo"}, {"/opt/my app/nimo", "\"/opt/my app/nimo\""},
        {"/a\"b", "\"/a\\\"b\""},           {"/a\\b", "\"/a\\\\b\""},
        {"/a$b`c`", "\"/a\\$b\\`c\\`\""},   {"/100%", "/100%%"},
        {"/100% x", "\"/100%% x\""},        {"/it's", "\"/it's\""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.program);
        EXPECT_EQ(desktopentry::quoteExecArgument(c.program), c.quoted);
        const auto back = desktopentry::splitExec(*desktopentry::quoteExecArgument(c.program));
        ASSERT_TRUE(back);
        EXPECT_EQ(*back, std::vector<std::string>{c.program});
    }
    EXPECT_FALSE(desktopentry::quoteExecArgument("/a\tb\x01"));
    EXPECT_EQ(desktopentry::unescapeValue("a\\sb\\\\c\\;d\\"), "a b\\c\\;d\\");
    EXPECT_EQ(*desktopentry::splitExec("prog %f --x=%% \"%%u\" %U"),
              (std::vector<std::string>{"prog", "--x=%", "%u"}));
    EXPECT_FALSE(desktopentry::splitExec("\"open"));
}
