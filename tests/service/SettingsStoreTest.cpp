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
#include <sys/stat.h>

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

// An unlocked GNOME Keyring on a bus of its own, its files under the test's XDG folders. The test
// process talks to that bus from here on: GLib keeps its first session connection for good.
struct PrivateKeyring {
    test::PrivateBus bus;
    std::optional<test::ScopedEnv> address;
    QProcess daemon;
    bool ready = false;

    explicit PrivateKeyring(bool unlocked = true) {
        if (bus.address().isEmpty())
            return;
        address.emplace("DBUS_SESSION_BUS_ADDRESS", bus.address().toStdString());
        QStringList args = {QStringLiteral("--foreground"), QStringLiteral("--components=secrets")};
        if (unlocked)
            args << QStringLiteral("--unlock");
        daemon.start(QStringLiteral("gnome-keyring-daemon"), args);
        if (!daemon.waitForStarted(5000))
            return;
        if (unlocked)
            daemon.write("nimo-test");
        daemon.closeWriteChannel();
        QDBusConnection probe = QDBusConnection::connectToBus(bus.address(), QStringLiteral("keyring-probe"));
        ready = test::waitUntil([&] {
            return probe.interface()->isServiceRegistered(QStringLiteral("org.freedesktop.secrets")).value();
        });
        QDBusConnection::disconnectFromBus(QStringLiteral("keyring-probe"));
    }
    ~PrivateKeyring() {
        daemon.kill();
        daemon.waitForFinished(3000);
    }
};

std::string settingsText() {
    return test::readFile(platform::paths::settingsFile()).value_or("");
}

} // namespace

// The token and the remembered credentials live in the keyring under their usual keys; the file
// keeps everything else; an earlier version's copies move over once; removals reach the keyring.
TEST(SettingsStoreKeyring, SecretsLiveInAnUnlockedKeyring) {
    test::TempXdg xdg;
    PrivateKeyring keyring;
    ASSERT_TRUE(keyring.ready) << "gnome-keyring-daemon did not come up on a private bus";
    const std::string file = platform::paths::settingsFile();
    const nlohmann::json credentials = {{keys::accountIdField, "ann@gmail.com"},
                                        {keys::accountPwField, "pw-Secret-9"}};

    // An earlier version left both secrets in the file.
    {
        SettingsStore old(file, platform::paths::keychainDir());
        ASSERT_TRUE(old.set(keys::apiToken, "tok-Old-1"));
        ASSERT_TRUE(old.set(keys::lastAccountIdPw, credentials));
        ASSERT_TRUE(old.set(keys::lastOkHost, "https://h.example"));
    }
    ASSERT_NE(settingsText().find("pw-Secret-9"), std::string::npos);

    SettingsStore store(file, platform::paths::keychainDir(), std::make_shared<SecretKeyring>(file));
    ASSERT_TRUE(store.keyringInUse());
    EXPECT_EQ(store.string(keys::apiToken), "tok-Old-1");
    EXPECT_EQ(store.object(keys::lastAccountIdPw), credentials);
    EXPECT_EQ(settingsText().find("tok-Old-1"), std::string::npos);
    EXPECT_EQ(settingsText().find("pw-Secret-9"), std::string::npos);
    EXPECT_EQ(store.string(keys::lastOkHost), "https://h.example");

    // A second client of the same file reads them from the keyring, with a fresh cache.
    SettingsStore other(file, platform::paths::keychainDir(), std::make_shared<SecretKeyring>(file));
    EXPECT_EQ(other.string(keys::apiToken), "tok-Old-1");
    EXPECT_TRUE(other.isSignedIn());
    // Another settings file has its own items, and the file-only view sees none of them.
    const std::string elsewhere = xdg.path("elsewhere/settings.json");
    SettingsStore stranger(elsewhere, xdg.path("elsewhere/chain"),
                           std::make_shared<SecretKeyring>(elsewhere));
    EXPECT_FALSE(stranger.isSignedIn());
    EXPECT_FALSE(SettingsStore(file, platform::paths::keychainDir()).isSignedIn());

    // New writes go to the keyring; types are kept, so a wrong type still reads as absent.
    ASSERT_TRUE(store.set(keys::apiToken, "tok-New-2"));
    EXPECT_EQ(SettingsStore(file, platform::paths::keychainDir(), std::make_shared<SecretKeyring>(file))
                  .string(keys::apiToken),
              "tok-New-2");
    ASSERT_TRUE(store.set(keys::lastAccountIdPw, "not a dictionary"));
    EXPECT_EQ(store.object(keys::lastAccountIdPw), std::nullopt);
    EXPECT_TRUE(store.contains(keys::lastAccountIdPw));
    EXPECT_EQ(settingsText().find("tok-New-2"), std::string::npos);

    // The device identifier stays in the file and the file keychain.
    const std::string id = store.deviceId();
    EXPECT_NE(settingsText().find(id), std::string::npos);
    EXPECT_EQ(store.keychain().load(keys::deviceId), id);

    // Sign-out and "remember" off remove them wherever they are.
    ASSERT_TRUE(store.set(keys::userInfo, nlohmann::json::object()));
    store.clearSession();
    EXPECT_FALSE(store.isSignedIn());
    EXPECT_TRUE(store.contains(keys::lastAccountIdPw));
    EXPECT_TRUE(store.remove(keys::lastAccountIdPw));
    EXPECT_FALSE(store.contains(keys::lastAccountIdPw));
    SettingsStore fresh(file, platform::paths::keychainDir(), std::make_shared<SecretKeyring>(file));
    EXPECT_FALSE(fresh.isSignedIn());
    EXPECT_FALSE(fresh.contains(keys::lastAccountIdPw));
}

// No keyring to use (no bus, a bus without a Secret Service, a keyring nobody unlocked): the
// secrets stay in the 0600 file as before, and no keyring is started on the way.
TEST(SettingsStoreKeyring, WithoutAnUnlockedKeyringSecretsStayInTheFile) {
    struct Case {
        const char* name;
        bool keyringRuns;
    };
    const Case cases[] = {{"no bus", false}, {"keyring without an unlocked collection", true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::TempXdg xdg;
        std::optional<PrivateKeyring> keyring;
        std::optional<test::ScopedEnv> noBus;
        if (c.keyringRuns)
            keyring.emplace(false);
        else
            noBus.emplace("DBUS_SESSION_BUS_ADDRESS", std::nullopt);
        const std::string file = platform::paths::settingsFile();
        SettingsStore store(file, platform::paths::keychainDir(), std::make_shared<SecretKeyring>(file));
        EXPECT_FALSE(store.keyringInUse());
        ASSERT_TRUE(store.set(keys::apiToken, "tok-File-3"));
        EXPECT_EQ(store.string(keys::apiToken), "tok-File-3");
        EXPECT_NE(settingsText().find("tok-File-3"), std::string::npos);
        struct stat st {};
        ASSERT_EQ(::stat(file.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0077, 0u);
        store.clearSession();
        EXPECT_FALSE(store.isSignedIn());
    }
}
