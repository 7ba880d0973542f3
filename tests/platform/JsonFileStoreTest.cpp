#include "platform/JsonFileStore.h"

#include "platform/Log.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QThread>
#include <atomic>
#include <csignal>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <thread>

using nimo::platform::JsonFileStore;
using nlohmann::json;

namespace {
std::string writerPath() {
    return nimo::test::binDir() + "/store_writer";
}

void writeFile(const std::string& path, const QByteArray& data) {
    QDir().mkpath(QFileInfo(QString::fromStdString(path)).absolutePath());
    QFile f(QString::fromStdString(path));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(data);
}

QStringList asideFiles(const std::string& path) {
    QFileInfo info(QString::fromStdString(path));
    return QDir(info.absolutePath()).entryList({info.fileName() + ".corrupt-*"}, QDir::Files);
}
} // namespace

TEST(JsonFileStore, TypedReadsTreatOtherTypesAsAbsent) {
    nimo::test::TempXdg xdg;
    JsonFileStore store(xdg.path("s/settings.json"));
    EXPECT_FALSE(store.value("missing"));
    ASSERT_TRUE(store.set("s", "text"));
    ASSERT_TRUE(store.set("i", 42));
    ASSERT_TRUE(store.set("b", true));
    ASSERT_TRUE(store.set("d", 2.5));
    ASSERT_TRUE(store.set("a", json::array({"x", 1})));
    ASSERT_TRUE(store.set("o", json{{"k", "v"}}));
    ASSERT_TRUE(store.set("bytes", json::binary({0, 1, 255})));

    JsonFileStore other(store.path()); // a second view reads what the first wrote
    EXPECT_EQ(other.string("s"), "text");
    EXPECT_FALSE(other.string("i"));
    EXPECT_EQ(other.integer("i"), 42);
    EXPECT_FALSE(other.integer("s"));
    EXPECT_FALSE(other.integer("b"));
    EXPECT_FALSE(other.integer("d"));
    EXPECT_EQ(other.boolean("b"), true);
    EXPECT_FALSE(other.boolean("i"));
    EXPECT_EQ(other.number("d"), 2.5);
    EXPECT_EQ(other.number("i"), 42.0);
    EXPECT_TRUE(other.array("a"));
    EXPECT_FALSE(other.array("o"));
    EXPECT_TRUE(other.object("o"));
    EXPECT_EQ(other.bytes("bytes"), (JsonFileStore::Bytes{0, 1, 255}));
    EXPECT_FALSE(other.bytes("s"));

    ASSERT_TRUE(other.remove("s"));
    EXPECT_FALSE(store.string("s"));

    struct stat st {};
    ASSERT_EQ(::stat(store.path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST(JsonFileStore, DamagedFileIsMovedAsideAndStoreStartsEmpty) {
    nimo::test::TempXdg xdg;
    const char* bodies[] = {"{not json", "[1,2,3]", "\"text\"", "42"};
    int n = 0;
    for (const char* body : bodies) {
        const std::string path = xdg.path("d" + std::to_string(n++) + "/settings.json");
        writeFile(path, body);
        nimo::platform::ScopedLogCapture capture;
        JsonFileStore store(path);
        EXPECT_FALSE(store.value("x")) << body;
        EXPECT_TRUE(capture.contains("JsonFileStore.corrupt:")) << body;
        const QStringList aside = asideFiles(path);
        ASSERT_EQ(aside.size(), 1) << body;
        QFile kept(QFileInfo(QString::fromStdString(path)).absolutePath() + "/" + aside[0]);
        ASSERT_TRUE(kept.open(QIODevice::ReadOnly));
        EXPECT_EQ(kept.readAll(), QByteArray(body)); // kept byte for byte
        ASSERT_TRUE(store.set("x", 1));
        EXPECT_EQ(JsonFileStore(path).integer("x"), 1);
    }
}

TEST(JsonFileStore, EmptyFileIsAnEmptyStore) {
    nimo::test::TempXdg xdg;
    const std::string path = xdg.path("e/settings.json");
    writeFile(path, "");
    JsonFileStore store(path);
    EXPECT_FALSE(store.value("x"));
    EXPECT_TRUE(asideFiles(path).isEmpty());
}

TEST(JsonFileStore, TwoProcessesLoseNoUpdate) {
    nimo::test::TempXdg xdg;
    const std::string path = xdg.path("c/counter.json");
    QProcess a, b;
    const QStringList args{"incr", QString::fromStdString(path), "n", "500"};
    a.start(QString::fromStdString(writerPath()), args);
    b.start(QString::fromStdString(writerPath()), args);
    ASSERT_TRUE(a.waitForFinished(120000));
    ASSERT_TRUE(b.waitForFinished(120000));
    EXPECT_EQ(a.exitCode(), 0);
    EXPECT_EQ(b.exitCode(), 0);
    EXPECT_EQ(JsonFileStore(path).integer("n"), 1000);
}

TEST(JsonFileStore, KilledWriterNeverLeavesABrokenFile) {
    nimo::test::TempXdg xdg;
    const std::string path = xdg.path("k/settings.json");
    for (int round = 0; round < 5; ++round) {
        QProcess p;
        p.start(QString::fromStdString(writerPath()), {"churn", QString::fromStdString(path)});
        ASSERT_TRUE(p.waitForReadyRead(20000));
        QThread::msleep(static_cast<unsigned long>(5 + round * 7));
        ::kill(static_cast<pid_t>(p.processId()), SIGKILL);
        p.waitForFinished(5000);
        QFile f(QString::fromStdString(path));
        ASSERT_TRUE(f.open(QIODevice::ReadOnly));
        const QByteArray data = f.readAll();
        EXPECT_FALSE(json::parse(data.begin(), data.end(), nullptr, false).is_discarded())
            << "round " << round;
        EXPECT_TRUE(asideFiles(path).isEmpty());
    }
}

TEST(JsonFileStore, RapidWritesAreSeenByAnotherView) {
    nimo::test::TempXdg xdg;
    JsonFileStore writer(xdg.path("r/settings.json"));
    JsonFileStore reader(writer.path());
    // Same size, same coarse file time, possibly the same recycled inode: the reader must still see
    // every value.
    for (int i = 0; i < 200; ++i) {
        ASSERT_TRUE(writer.set("k", i % 10));
        ASSERT_EQ(reader.integer("k"), i % 10) << i;
    }
}

// What a writer killed at the wrong moment leaves beside the file never holds up the next save:
// only a live writer is waited for.
TEST(JsonFileStore, ALockWhoseOwnerIsGoneIsTakenAtOnce) {
    nimo::test::TempXdg xdg;
    const std::vector<std::pair<const char*, QByteArray>> leftovers = {
        {"empty lock file", QByteArray()},
        {"lock file naming a dead process", QByteArray("999999\nstore_writer\nnowhere\n")},
        {"lock file of junk", QByteArray("\xff\xfe junk")},
    };
    for (const auto& [name, content] : leftovers) {
        const std::string path = xdg.path(std::string("l/") + name + "/settings.json");
        writeFile(path + ".lock", content);
        JsonFileStore store(path);
        std::atomic<bool> done{false}, ok{false};
        std::thread writer([&] {
            ok = store.set("k", 1);
            done = true;
        });
        EXPECT_TRUE(nimo::test::waitUntil([&] { return done.load(); }, std::chrono::seconds(3))) << name;
        writer.join();
        EXPECT_TRUE(ok) << name;
        EXPECT_EQ(JsonFileStore(path).integer("k"), 1) << name;
    }
}
