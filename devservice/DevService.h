#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace nimo::devservice {

// One request as the service sees it, whatever HTTP server carries it.
struct Incoming {
    std::string method; // "GET", "POST", ...
    std::string path;   // without the query
    std::map<std::string, std::string> query;
    std::string token;         // header "token"
    std::string authorization; // header "authorization"
    std::string version;       // header "version"
    std::string contentType;
    std::string body;
};

// The answer. drop: close the connection without sending anything.
struct Reply {
    int status = 200;
    std::string body;
    std::string contentType = "application/json";
    std::chrono::milliseconds delay{0};
    bool drop = false;
};

// A canned answer for one endpoint. Without a body the endpoint answers as usual (after the delay,
// with the given status).
struct Override {
    std::string path;
    std::string method; // empty: any method
    std::optional<int> status;
    std::optional<std::string> body;
    std::string contentType = "application/json";
    std::chrono::milliseconds delay{0};
    bool drop = false;
    int times = -1; // requests it serves before it is dropped; -1: until cleared
};

// The demo account every fresh service starts with.
inline constexpr const char* kDemoEmail = "demo@nimomac.example.com";
inline constexpr const char* kDemoPassword = "nimo2026";

// The local account service: nine endpoints behind the response envelope, with accounts, e-mail
// codes, tokens, subscriptions and node lists held in memory, plus admin endpoints under /admin/
// that let a test or the demo script any answer. Thread-safe; never throws on peer input.
class DevService {
public:
    DevService();

    // Replaces the whole state with a fixture (format in devservice/README.md). On a malformed
    // fixture the state is left as it was and *error says what is wrong.
    bool loadFixture(const nlohmann::json& fixture, std::string* error);
    // The service's own address; the default "backend_url" of the public setting lists it.
    void setBaseURL(const std::string& url);
    // Real nodes behind the subscriptions' server lists (online-configuration server objects).
    void setServers(const nlohmann::json& servers);

    Reply handle(const Incoming& request);

    // Last verification code sent to email for type, if any.
    std::optional<std::string> lastCode(const std::string& email, const std::string& type) const;

private:
    struct Account {
        std::int64_t id = 0;
        std::string email, password, avatar, memberExpiryAt;
        std::int64_t invitationCode = 0;
        std::int64_t memberLevel = 0;
        nlohmann::json subscriptions = nlohmann::json::array(); // records as served, each with "nodes"
    };
    struct Code {
        std::string code;
        std::chrono::steady_clock::time_point expires;
    };
    struct State {
        std::map<std::string, Account> accounts;   // by e-mail
        std::map<std::string, std::string> tokens; // token -> e-mail
        std::map<std::string, Code> codes;         // type + "|" + e-mail
        std::vector<std::string> nodeNames;
        std::optional<nlohmann::json> publicSetting;      // none: {"backend_url": own address}
        nlohmann::json servers = nlohmann::json::array(); // server objects of the node lists
        std::vector<Override> overrides;
        std::int64_t nextAccountId = 20001;
        std::int64_t nextSubscriptionId = 100;
    };

    static State seededState();
    static bool parseFixture(const nlohmann::json& fixture, State& out, std::string* error);

    Reply route(const Incoming& request);
    Reply admin(const Incoming& request);
    std::optional<Override> takeOverride(const Incoming& request);

    Reply login(const nlohmann::json& body);
    Reply registerAccount(const nlohmann::json& body);
    Reply resetPassword(const nlohmann::json& body);
    Reply emailCode(const nlohmann::json& body);
    Reply userInfo(const Incoming& request);
    Reply publicSetting();
    Reply nodeNames();
    Reply subscribeNodeList(const Incoming& request);
    Reply customerServiceList(const Incoming& request);
    Reply serverList(const Incoming& request);

    const Account* accountForToken(const Incoming& request) const;
    nlohmann::json signInResult(const Account& account);
    std::string newToken();
    std::string newCode();
    // Consumes the code sent to email for type when it matches and has not expired.
    bool takeCode(const std::string& type, const std::string& email, const std::string& code);
    void recordRequest(const Incoming& request);

    mutable std::mutex mutex_;
    State state_;
    std::string baseURL_;
    std::deque<nlohmann::json> requestLog_;
    std::mt19937_64 random_;
};

} // namespace nimo::devservice
