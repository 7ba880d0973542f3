#include "service/SettingsStore.h"

#include "platform/Paths.h"
#include "service/UserDefaultsCacheKeys.h"
#include "support/TestSupport.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <gtest/gtest.h>

using namespace nimo;
namespace keys = nimo::UserDefaultsCacheKeys;

TEST(QnKeyChain, AddLeavesExistingItemAndBadDataIsMissing) {
    test::TempXdg xdg;
    QnKeyChain chain(xdg.path("chain"));
    EXPECT_FALSE(chain.load("acct"));
    chain.save("first", "acct");
    chain.save("second", "acct");
    EXPECT_EQ(chain.load("acct"), "first");
    chain.save("", "empty");
    EXPECT_EQ(chain.load("empty"), "");
    chain.save("x", "../../escape");
    EXPECT_EQ(chain.load("../../escape"), "x");
    EXPECT_FALSE(QFile::exists(QString::fromStdString(xdg.path("escape"))));

    // An item whose bytes are not UTF-8 reads as missing.
    const auto dir = QDir(QString::fromStdString(xdg.path("chain")));
    for (const QString& f : dir.entryList(QDir::Files)) {
        QFile file(dir.filePath(f));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("\xff\xfe");
    }
    EXPECT_FALSE(chain.load("acct"));
}

TEST(SettingsStore, DeviceIdComesFromStoreThenKeychainThenNew) {
    test::TempXdg xdg;
    SettingsStore store;
    const std::string id = store.deviceId();
    EXPECT_TRUE(QRegularExpression("^macOS-[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}$")
                    .match(QString::fromStdString(id))
                    .hasMatch())
        << id;
    EXPECT_EQ(id.size(), 42u);
    EXPECT_EQ(store.deviceId(), id);
    EXPECT_EQ(store.string(keys::deviceId), id);
    EXPECT_EQ(store.keychain().load(keys::deviceId), id);

    // Settings reset, keychain kept: the keychain answers and is not copied back.
    QFile::remove(QString::fromStdString(platform::paths::settingsFile()));
    SettingsStore fresh;
    EXPECT_EQ(fresh.deviceId(), id);
    EXPECT_FALSE(fresh.contains(keys::deviceId));
    EXPECT_EQ(fresh.deviceId(), id);

    // An empty stored identifier consults the keychain.
    ASSERT_TRUE(fresh.set(keys::deviceId, ""));
    EXPECT_EQ(fresh.deviceId(), id);
    // A stored identifier of the wrong type counts as absent too.
    ASSERT_TRUE(fresh.set(keys::deviceId, 7));
    EXPECT_EQ(fresh.deviceId(), id);
}

TEST(SettingsStore, ClearSessionKeepsHostCredentialsAndDevice) {
    test::TempXdg xdg;
    SettingsStore store;
    store.clearSession(); // nothing stored: nothing happens
    EXPECT_FALSE(QFile::exists(QString::fromStdString(platform::paths::settingsFile())));

    const std::vector<std::string> cleared = {keys::userInfo,      keys::userAccount,  keys::apiToken,
                                              keys::subscribeUuid, keys::subscribeEnd, keys::subNodes,
                                              keys::serverId,      keys::lastAmount};
    const std::vector<std::string> kept = {keys::lastOkHost, keys::backupUrls,      keys::deviceId,
                                           keys::allNodes,   keys::lastAccountIdPw, keys::lastAutoLogin};
    for (const auto& k : cleared)
        ASSERT_TRUE(store.set(k, "v"));
    for (const auto& k : kept)
        ASSERT_TRUE(store.set(k, "v"));
    EXPECT_TRUE(store.isSignedIn());
    EXPECT_TRUE(store.hasUserInfo());
    store.clearSession();
    for (const auto& k : cleared)
        EXPECT_FALSE(store.contains(k)) << k;
    for (const auto& k : kept)
        EXPECT_TRUE(store.contains(k)) << k;
    EXPECT_FALSE(store.isSignedIn());
    EXPECT_FALSE(store.hasUserInfo());
}

TEST(SettingsStore, SignedInTestsCountAnyValue) {
    test::TempXdg xdg;
    SettingsStore store;
    EXPECT_FALSE(store.isSignedIn());
    ASSERT_TRUE(store.set(keys::apiToken, 0));
    ASSERT_TRUE(store.set(keys::userInfo, "not a dictionary"));
    EXPECT_TRUE(store.isSignedIn());
    EXPECT_TRUE(store.hasUserInfo());
}

namespace {

// GNOME Keyring (unlocked or not) on a bus of its own, its files under the test's XDG folders.
// GLib keeps its first session connection for good, so each case runs in a process of its own.
struct PrivateKeyring {
    test::PrivateBus bus;
    test::ScopedEnv address{"DBUS_SESSION_BUS_ADDRESS", bus.address().toStdString()};
    QProcess daemon;

    bool start(bool unlocked) {
        QStringList args = {QStringLiteral("--foreground"), QStringLiteral("--components=secrets")};
        if (unlocked)
            args << QStringLiteral("--unlock");
        daemon.start(QStringLiteral("gnome-keyring-daemon"), args);
        daemon.write(unlocked ? "nimo-test" : "");
        daemon.closeWriteChannel();
        QDBusConnection probe = QDBusConnection::connectToBus(bus.address(), QStringLiteral("probe"));
        return test::waitUntil([&] {
            return probe.interface()->isServiceRegistered(QStringLiteral("org.freedesktop.secrets")).value();
        });
    }
    ~PrivateKeyring() {
        daemon.kill();
        daemon.waitForFinished(3000);
    }
};

std::string settingsText() {
    return test::readFile(platform::paths::settingsFile()).value_or("");
}

SettingsStore keyringStore(const std::string& file) {
    return SettingsStore(file, platform::paths::keychainDir(), std::make_shared<SecretKeyring>(file));
}

} // namespace

// The token and the remembered credentials live in the keyring under their usual keys, copies an
// earlier version left in the file move over, removals reach the keyring, the rest stays in the file.
TEST(SettingsStoreKeyring, SecretsLiveInAnUnlockedKeyring) {
    test::TempXdg xdg;
    PrivateKeyring keyring;
    ASSERT_TRUE(keyring.start(true)) << "gnome-keyring-daemon did not come up on a private bus";
    const std::string file = platform::paths::settingsFile();
    const nlohmann::json credentials = {{keys::accountIdField, "ann@gmail.com"},
                                        {keys::accountPwField, "pw-Secret-9"}};
    SettingsStore old(file, platform::paths::keychainDir());
    ASSERT_TRUE(old.set(keys::apiToken, "tok-Old-1"));
    ASSERT_TRUE(old.set(keys::lastAccountIdPw, credentials));

    SettingsStore store = keyringStore(file);
    ASSERT_TRUE(store.keyringInUse());
    EXPECT_EQ(settingsText().find("pw-Secret-9"), std::string::npos); // moved before it was read
    EXPECT_EQ(settingsText().find("tok-Old-1"), std::string::npos);
    EXPECT_EQ(keyringStore(file).object(keys::lastAccountIdPw), credentials);
    EXPECT_EQ(keyringStore(file).string(keys::apiToken), "tok-Old-1");
    EXPECT_FALSE(old.isSignedIn());
    const std::string elsewhere = xdg.path("elsewhere/settings.json");
    EXPECT_FALSE(keyringStore(elsewhere).isSignedIn()); // each settings file has its own items

    // New writes go there too; a wrong type still reads as absent; the device id stays in the file.
    ASSERT_TRUE(store.set(keys::apiToken, "tok-New-2"));
    EXPECT_EQ(keyringStore(file).string(keys::apiToken), "tok-New-2");
    ASSERT_TRUE(store.set(keys::lastAccountIdPw, "not a dictionary"));
    EXPECT_EQ(store.object(keys::lastAccountIdPw), std::nullopt);
    EXPECT_TRUE(store.contains(keys::lastAccountIdPw));
    const std::string id = store.deviceId();
    EXPECT_NE(settingsText().find(id), std::string::npos);
    EXPECT_EQ(settingsText().find("tok-New-2"), std::string::npos);

    // Sign-out and "记住密码" off remove them.
    EXPECT_TRUE(store.clearSession());
    EXPECT_TRUE(store.remove(keys::lastAccountIdPw));
    EXPECT_FALSE(keyringStore(file).isSignedIn());
    EXPECT_FALSE(keyringStore(file).contains(keys::lastAccountIdPw));
}

// No bus, or a keyring nobody unlocked: the secrets stay in the file as before.
TEST(SettingsStoreKeyring, WithoutAnUnlockedKeyringSecretsStayInTheFile) {
    for (const bool keyringRuns : {false, true}) {
        SCOPED_TRACE(keyringRuns ? "locked keyring" : "no bus");
        test::TempXdg xdg;
        std::optional<PrivateKeyring> keyring;
        std::optional<test::ScopedEnv> noBus;
        if (keyringRuns)
            ASSERT_TRUE(keyring.emplace().start(false));
        else
            noBus.emplace("DBUS_SESSION_BUS_ADDRESS", std::nullopt);
        SettingsStore store = keyringStore(platform::paths::settingsFile());
        EXPECT_FALSE(store.keyringInUse());
        ASSERT_TRUE(store.set(keys::apiToken, "tok-File-3"));
        EXPECT_EQ(store.string(keys::apiToken), "tok-File-3");
        EXPECT_NE(settingsText().find("tok-File-3"), std::string::npos);
        store.clearSession();
        EXPECT_FALSE(store.isSignedIn());
    }
}
