#include "tunnel/NimoShared.h"

#include "platform/Log.h"
#include "support/TestSupport.h"
#include "tunnel/TunnelTypes.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <gtest/gtest.h>
#include <sys/stat.h>

using namespace nimo;
using platform::LogChannel;
using platform::ScopedLogCapture;

namespace {
struct Custom {
    int x = 1;
};
unsigned modeOf(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 0777) : 0;
}
} // namespace

TEST(NimoShared, StoresSupportedTypesAndRefusesOthers) {
    test::TempXdg xdg;
    auto& shared = NimoShared::shared();
    EXPECT_FALSE(shared.get("never"));
    EXPECT_EQ(runningModeFrom(shared.get(kSharedTunMode)), "rule");

    shared.set(std::string("global"), kSharedTunMode);
    shared.set(3, "i");
    shared.set(true, "b");
    shared.set(1.5f, "f");
    shared.set(QByteArray("\x00\x01", 2), "data");
    shared.set(std::vector<std::string>{"a", "b"}, "arr");
    shared.set(std::map<std::string, int>{{"k", 1}}, "dict");
    EXPECT_EQ(shared.get(kSharedTunMode), "global");
    EXPECT_EQ(runningModeFrom(shared.get(kSharedTunMode)), "global");
    EXPECT_EQ(shared.get("i"), 3);
    EXPECT_EQ(shared.get("b"), true);
    EXPECT_EQ(shared.get("f"), 1.5);
    EXPECT_TRUE(shared.get("data")->is_binary());
    EXPECT_EQ(shared.get("arr"), nlohmann::json({"a", "b"}));
    EXPECT_EQ(shared.get("dict"), nlohmann::json({{"k", 1}}));

    ScopedLogCapture capture;
    shared.set(QDateTime::currentDateTime(), kSharedTunMode);
    shared.set(Custom{}, kSharedTunMode);
    shared.set(nlohmann::json(nullptr), kSharedTunMode);
    shared.set(nlohmann::json::array({"ok", nullptr}), kSharedTunMode);
    const auto out = capture.lines(LogChannel::Stdout);
    ASSERT_EQ(out.size(), 4u);
    EXPECT_EQ(out[0], "不支持的数据类型：QDateTime，支持的类型：String/Int/Bool/Data/数组/字典等");
    EXPECT_NE(out[1].find("Custom"), std::string::npos);
    EXPECT_EQ(shared.get(kSharedTunMode), "global"); // untouched
    EXPECT_EQ(modeOf(NimoShared::domainPath()), 0600u);
}

TEST(NimoShared, WriteIsVisibleToAnotherProcessWhenSetReturns) {
    test::TempXdg xdg;
    for (const char* mode : {"global", "rule"}) {
        NimoShared::shared().set(std::string(mode), kSharedTunMode);
        QProcess reader;
        reader.start(QString::fromStdString(test::binDir() + "/store_writer"),
                     {"shared-get", kSharedTunMode});
        ASSERT_TRUE(reader.waitForFinished(10000));
        EXPECT_EQ(reader.readAllStandardOutput().trimmed().toStdString(), std::string("\"") + mode + "\"");
    }
}

TEST(NimoShared, FileOperationsInTheContainer) {
    test::TempXdg xdg;
    auto& shared = NimoShared::shared();
    ScopedLogCapture capture;
    const auto url = shared.fileURL("conf.json", "sub");
    ASSERT_TRUE(url);
    EXPECT_EQ(*url, NimoShared::containerPath() + "/sub/conf.json");
    EXPECT_TRUE(QFileInfo(QString::fromStdString(NimoShared::containerPath() + "/sub")).isDir());
    EXPECT_EQ(modeOf(NimoShared::containerPath() + "/sub"), 0755u);
    EXPECT_FALSE(shared.fileExists("conf.json", "sub"));
    EXPECT_TRUE(capture.contains("sysnc.实际Group路径：" + NimoShared::containerPath()));

    const std::string source = xdg.path("source.txt");
    {
        QFile f(QString::fromStdString(source));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("one");
    }
    auto copied = shared.copyItem(source, "", false);
    ASSERT_TRUE(copied);
    EXPECT_EQ(*copied, NimoShared::containerPath() + "/source.txt");
    EXPECT_EQ(modeOf(*copied), 0644u);
    EXPECT_TRUE(shared.fileExists("source.txt", ""));

    {
        QFile f(QString::fromStdString(source));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("two");
    }
    capture.clear();
    EXPECT_EQ(shared.copyItem(source, "", false), copied);
    EXPECT_EQ(capture.lines(LogChannel::Stdout), std::vector<std::string>{"cancel.whenExist：" + *copied});
    QFile kept(QString::fromStdString(*copied));
    ASSERT_TRUE(kept.open(QIODevice::ReadOnly));
    EXPECT_EQ(kept.readAll(), "one");
    kept.close();

    capture.clear();
    EXPECT_EQ(shared.copyItem(source, "", true), copied);
    EXPECT_EQ(capture.lines(LogChannel::Stdout), std::vector<std::string>{"removeItem：" + *copied});
    ASSERT_TRUE(kept.open(QIODevice::ReadOnly));
    EXPECT_EQ(kept.readAll(), "two");
}

TEST(TunnelTypes, StatusNamesAndModeDefault) {
    EXPECT_STREQ(vpnStatusLogName(VpnStatus::Connected), "已连接");
    EXPECT_STREQ(vpnStatusLogName(5), "断开中");
    EXPECT_STREQ(vpnStatusLogName(99), "未知状态");
    EXPECT_STREQ(vpnStatusLogName(-1), "未知状态");
    EXPECT_EQ(runningModeFrom(nlohmann::json(7)), "rule");
    EXPECT_EQ(runningModeFrom(std::nullopt), "rule");
}

// A failed copy is reported as a failure and leaves what was there; a failed write is no success.
TEST(NimoShared, FailuresAreReportedAndKeepWhatWasThere) {
    test::TempXdg xdg;
    auto& shared = NimoShared::shared();
    const std::string source = xdg.path("item.txt");
    {
        QFile f(QString::fromStdString(source));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("kept");
    }
    const auto copied = shared.copyItem(source, "", true);
    ASSERT_TRUE(copied);

    struct Case {
        const char* name;
        std::string source;
    };
    const Case cases[] = {
        {"source gone", xdg.path("missing/item.txt")},
        {"source is a folder", xdg.path("XDG_CACHE_HOME")},
    };
    for (const auto& c : cases) {
        const std::string named = QFileInfo(QString::fromStdString(c.source)).fileName().toStdString();
        const auto result = shared.copyItem(c.source, "", true);
        EXPECT_FALSE(result) << c.name;
        EXPECT_FALSE(
            shared.fileExists(named + ".part-" + std::to_string(QCoreApplication::applicationPid()), ""))
            << c.name;
    }
    // The item copied earlier is intact after a failed overwrite of the same name.
    ASSERT_TRUE(QFile::remove(QString::fromStdString(source)));
    EXPECT_FALSE(shared.copyItem(source, "", true));
    QFile kept(QString::fromStdString(*copied));
    ASSERT_TRUE(kept.open(QIODevice::ReadOnly));
    EXPECT_EQ(kept.readAll(), "kept");

    // A value that could not be written is not reported as stored.
    EXPECT_TRUE(shared.set(std::string("global"), kSharedTunMode));
    const QString lock = QString::fromStdString(NimoShared::domainPath() + ".lock");
    QFile::remove(lock);
    ASSERT_TRUE(QDir().mkpath(lock));
    EXPECT_FALSE(shared.set(std::string("rule"), kSharedTunMode));
    EXPECT_EQ(shared.get(kSharedTunMode), nlohmann::json("global"));
}
