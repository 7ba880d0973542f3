#include "service/SettingsStore.h"

#include "platform/Paths.h"
#include "service/UserDefaultsCacheKeys.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QFile>
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
