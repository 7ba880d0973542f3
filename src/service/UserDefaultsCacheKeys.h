#pragma once

namespace nimo::UserDefaultsCacheKeys {

inline constexpr const char* apiToken = "key.nimo.api.token";
inline constexpr const char* userInfo = "key.nimo.user.info";
inline constexpr const char* userAccount = "key.nimo.user.account";
inline constexpr const char* lastOkHost = "key.last.ok.host";
inline constexpr const char* backupUrls = "key.nimo.backup.urls";
inline constexpr const char* deviceId = "key.nimo.device.id";
inline constexpr const char* lastAmount = "key.nimo.last.amount";
inline constexpr const char* serverId = "key.nimo.serverid";
inline constexpr const char* allNodes = "key.nimo.all.nodes";
inline constexpr const char* subNodes = "key.nimo.sub.nodes";
inline constexpr const char* subscribeUuid = "key.nimo.subscribe.uuid";
inline constexpr const char* subscribeEnd = "key.nimo.subscribe.end";
inline constexpr const char* lastAccountIdPw = "Key_Last_Accout_Id_Pw";
inline constexpr const char* lastAutoLogin = "Key_Last_Auto_Login";

// Fields of the remembered-credentials dictionary.
inline constexpr const char* accountIdField = "accountid";
inline constexpr const char* accountPwField = "accountpw";

} // namespace nimo::UserDefaultsCacheKeys
