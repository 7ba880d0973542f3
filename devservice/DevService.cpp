#include "DevService.h"

#include "NodeList.h"
#include "platform/Log.h"
#include "platform/Redact.h"

#include <charconv>
#include <ctime>
#include <regex>

namespace nimo::devservice {

using nlohmann::json;

namespace {

// Bounds on what peers can make the service keep.
constexpr size_t kMaxAccounts = 10000;
constexpr size_t kMaxTokens = 20000;
constexpr size_t kMaxCodes = 2000;
constexpr size_t kMaxOverrides = 200;
constexpr size_t kMaxLoggedRequests = 200;
constexpr size_t kMaxLoggedBody = 4096;
constexpr auto kCodeLifetime = std::chrono::minutes(10);
constexpr std::int64_t kGiB = 1024LL * 1024 * 1024;

constexpr const char* kRegisterType = "EMAIL_TYPE_USER_REGISTER";
constexpr const char* kResetType = "EMAIL_TYPE_USER_RESETPWD";

// The service's own refusal codes (any value other than 0 and 40101 is a plain refusal).
constexpr int kBadParameters = 10001;
constexpr int kAccountExists = 10002;
constexpr int kBadCode = 10003;
constexpr int kBadCredentials = 10004;
constexpr int kNoAccount = 10005;
constexpr int kPasswordsDiffer = 10006;
constexpr int kNoSubscription = 10007;
constexpr int kSessionInvalid = 40101;

const std::vector<std::string>& defaultNodeNames() {
    static const std::vector<std::string> names = {
        "香港 01",       "香港 02",   "日本 东京", "美国 洛杉矶", "新加坡 01",
        "德国 法兰克福", "韩国 首尔", "台湾 台北", "英国 伦敦",   "印度尼西亚 雅加达"};
    return names;
}

std::string dumpJson(const json& value) {
    return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

Reply jsonReply(int status, const json& value) {
    Reply r;
    r.status = status;
    r.body = dumpJson(value);
    return r;
}

Reply ok(json data) {
    return jsonReply(200, json{{"code", 0}, {"msg", "success"}, {"data", std::move(data)}});
}

Reply refuse(int code, const std::string& msg, int status = 200) {
    return jsonReply(status, json{{"code", code}, {"msg", msg}, {"data", nullptr}});
}

std::optional<json> objectBody(const std::string& body) {
    json parsed = json::parse(body, nullptr, false);
    if (parsed.is_discarded() || !parsed.is_object())
        return std::nullopt;
    return parsed;
}

std::optional<std::string> stringField(const json& object, const char* key) {
    auto it = object.find(key);
    if (it == object.end() || !it->is_string())
        return std::nullopt;
    return it->get<std::string>();
}

std::optional<std::int64_t> integerField(const json& object, const char* key) {
    auto it = object.find(key);
    if (it == object.end() || !it->is_number_integer())
        return std::nullopt;
    return it->get<std::int64_t>();
}

bool validEmail(const std::string& text) {
    // Length first: std::regex recurses per character.
    static const std::regex pattern("[A-Z0-9a-z._%+-]+@[A-Za-z0-9.-]+\\.[A-Za-z]{2,}");
    return !text.empty() && text.size() <= 254 && std::regex_match(text, pattern);
}

// "2026-12-07T12:00:00+08:00": the service's zone is UTC+8.
std::string serviceTime(std::chrono::system_clock::time_point when) {
    std::time_t t = std::chrono::system_clock::to_time_t(when) + 8 * 3600;
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buf[40];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S+08:00", &tm);
    return buf;
}

bool parseOverride(const json& item, Override& out, std::string* error) {
    auto fail = [&](const std::string& why) {
        if (error)
            *error = "override: " + why;
        return false;
    };
    if (!item.is_object())
        return fail("not an object");
    auto path = stringField(item, "path");
    if (!path || path->empty() || path->front() != '/')
        return fail("\"path\" must be a text starting with /");
    if (path->rfind("/admin/", 0) == 0)
        return fail("admin paths cannot be overridden");
    Override o;
    o.path = *path;
    if (item.contains("method")) {
        auto method = stringField(item, "method");
        if (!method)
            return fail("\"method\" must be a text");
        o.method = *method;
    }
    if (item.contains("status")) {
        auto status = integerField(item, "status");
        if (!status || *status < 100 || *status > 599)
            return fail("\"status\" must be an integer from 100 to 599");
        o.status = static_cast<int>(*status);
    }
    if (item.contains("body") && item.contains("json"))
        return fail("give \"body\" or \"json\", not both");
    if (item.contains("body")) {
        auto body = stringField(item, "body");
        if (!body)
            return fail("\"body\" must be a text (use \"json\" for a JSON value)");
        o.body = *body;
    } else if (item.contains("json")) {
        o.body = dumpJson(item["json"]);
    }
    if (item.contains("content_type")) {
        auto type = stringField(item, "content_type");
        if (!type)
            return fail("\"content_type\" must be a text");
        o.contentType = *type;
    }
    if (item.contains("delay_ms")) {
        auto delay = integerField(item, "delay_ms");
        if (!delay || *delay < 0 || *delay > 600000)
            return fail("\"delay_ms\" must be an integer from 0 to 600000");
        o.delay = std::chrono::milliseconds(*delay);
    }
    if (item.contains("drop")) {
        if (!item["drop"].is_boolean())
            return fail("\"drop\" must be a boolean");
        o.drop = item["drop"].get<bool>();
    }
    if (item.contains("times")) {
        auto times = integerField(item, "times");
        if (!times || *times < 1 || *times > 1000000)
            return fail("\"times\" must be a positive integer");
        o.times = static_cast<int>(*times);
    }
    out = std::move(o);
    return true;
}

json overrideToJson(const Override& o) {
    json j{{"path", o.path}, {"delay_ms", o.delay.count()}, {"drop", o.drop}, {"times", o.times}};
    if (!o.method.empty())
        j["method"] = o.method;
    if (o.status)
        j["status"] = *o.status;
    if (o.body)
        j["body"] = *o.body;
    return j;
}

void addOverride(std::vector<Override>& list, Override o) {
    std::erase_if(list, [&](const Override& e) { return e.path == o.path && e.method == o.method; });
    if (list.size() >= kMaxOverrides)
        list.erase(list.begin());
    list.push_back(std::move(o));
}

} // namespace

DevService::DevService() : state_(seededState()), random_(std::random_device{}()) {}

DevService::State DevService::seededState() {
    State s;
    s.nodeNames = defaultNodeNames();
    Account demo;
    demo.id = 10001;
    demo.email = kDemoEmail;
    demo.password = kDemoPassword;
    demo.avatar = "";
    demo.invitationCode = 384726;
    demo.memberLevel = 1;
    demo.memberExpiryAt = serviceTime(std::chrono::system_clock::now() + std::chrono::hours(24 * 30));
    json nodes = json::array();
    for (size_t i = 0; i < 6; ++i)
        nodes.push_back(s.nodeNames[i]);
    demo.subscriptions.push_back(json{{"id", 7},
                                      {"name", "VIP 月付"},
                                      {"total_bandwidth", 100 * kGiB},
                                      {"used_up", 3 * kGiB / 2},
                                      {"used_down", 12 * kGiB},
                                      {"service_status", true},
                                      {"sub_status", true},
                                      {"sub_uuid", "6f1d2c8e-4b7a-4e0f-9c1d-2a5b8e7f3c90"},
                                      {"nodes", nodes}});
    s.accounts[demo.email] = demo;
    return s;
}

bool DevService::parseFixture(const json& fixture, State& out, std::string* error) {
    auto fail = [&](const std::string& why) {
        if (error)
            *error = why;
        return false;
    };
    if (!fixture.is_object())
        return fail("the fixture must be a JSON object");
    bool demo = true;
    if (fixture.contains("demo")) {
        if (!fixture["demo"].is_boolean())
            return fail("\"demo\" must be a boolean");
        demo = fixture["demo"].get<bool>();
    }
    State s = demo ? seededState() : State{};
    if (!demo)
        s.nodeNames = defaultNodeNames();

    if (fixture.contains("node_names")) {
        const json& names = fixture["node_names"];
        if (!names.is_array())
            return fail("\"node_names\" must be an array of texts");
        s.nodeNames.clear();
        for (const json& n : names) {
            if (!n.is_string())
                return fail("\"node_names\" must be an array of texts");
            s.nodeNames.push_back(n.get<std::string>());
        }
    }
    if (fixture.contains("accounts")) {
        const json& accounts = fixture["accounts"];
        if (!accounts.is_array())
            return fail("\"accounts\" must be an array");
        for (const json& a : accounts) {
            if (!a.is_object())
                return fail("each account must be an object");
            auto email = stringField(a, "email");
            auto password = stringField(a, "password");
            if (!email || !password)
                return fail("each account needs \"email\" and \"password\" texts");
            Account acc;
            acc.email = *email;
            acc.password = *password;
            acc.id = integerField(a, "id").value_or(s.nextAccountId++);
            acc.avatar = stringField(a, "avatar").value_or("");
            acc.invitationCode = integerField(a, "invitation_code").value_or(100000 + acc.id);
            acc.memberLevel = integerField(a, "member_level").value_or(0);
            acc.memberExpiryAt =
                stringField(a, "member_expiry_at")
                    .value_or(serviceTime(std::chrono::system_clock::now() + std::chrono::hours(24 * 30)));
            if (a.contains("subscriptions")) {
                const json& subs = a["subscriptions"];
                if (!subs.is_array())
                    return fail("\"subscriptions\" of " + *email + " must be an array");
                for (const json& sub : subs) {
                    if (!sub.is_object() || !integerField(sub, "id"))
                        return fail("each subscription of " + *email + " needs an integer \"id\"");
                    if (sub.contains("nodes") && !sub["nodes"].is_array())
                        return fail("\"nodes\" of a subscription must be an array");
                }
                acc.subscriptions = subs;
            }
            s.accounts[acc.email] = std::move(acc);
        }
    }
    if (fixture.contains("tokens")) {
        const json& tokens = fixture["tokens"];
        if (!tokens.is_object())
            return fail("\"tokens\" must be an object of token: e-mail");
        for (auto it = tokens.begin(); it != tokens.end(); ++it) {
            if (!it.value().is_string() || !s.accounts.count(it.value().get<std::string>()))
                return fail("token \"" + it.key() + "\" must name a known account's e-mail");
            s.tokens[it.key()] = it.value().get<std::string>();
        }
    }
    if (fixture.contains("public_setting"))
        s.publicSetting = fixture["public_setting"];
    if (fixture.contains("servers")) {
        if (!fixture["servers"].is_array())
            return fail("\"servers\" must be an array of server objects");
        s.servers = fixture["servers"];
    }
    if (fixture.contains("overrides")) {
        const json& list = fixture["overrides"];
        if (!list.is_array())
            return fail("\"overrides\" must be an array");
        for (const json& item : list) {
            Override o;
            if (!parseOverride(item, o, error))
                return false;
            addOverride(s.overrides, std::move(o));
        }
    }
    out = std::move(s);
    return true;
}

bool DevService::loadFixture(const json& fixture, std::string* error) {
    State parsed;
    if (!parseFixture(fixture, parsed, error))
        return false;
    std::lock_guard lock(mutex_);
    state_ = std::move(parsed);
    return true;
}

void DevService::setServers(const json& servers) {
    std::lock_guard lock(mutex_);
    state_.servers = servers.is_array() ? servers : json::array();
}

void DevService::setBaseURL(const std::string& url) {
    std::lock_guard lock(mutex_);
    baseURL_ = url;
}

std::optional<std::string> DevService::lastCode(const std::string& email, const std::string& type) const {
    std::lock_guard lock(mutex_);
    auto it = state_.codes.find(type + "|" + email);
    if (it == state_.codes.end())
        return std::nullopt;
    return it->second.code;
}

Reply DevService::handle(const Incoming& request) {
    std::lock_guard lock(mutex_);
    if (request.path.rfind("/admin/", 0) == 0)
        return admin(request);
    recordRequest(request);
    std::optional<Override> canned = takeOverride(request);
    Reply reply;
    if (canned && canned->drop) {
        reply.drop = true;
    } else if (canned && canned->body) {
        reply.status = canned->status.value_or(200);
        reply.body = *canned->body;
        reply.contentType = canned->contentType;
    } else {
        reply = route(request);
        if (canned && canned->status)
            reply.status = *canned->status;
    }
    if (canned)
        reply.delay = canned->delay;
    platform::consoleLog("devservice: " + request.method + " " + request.path + " -> " +
                         (reply.drop ? std::string("dropped") : std::to_string(reply.status)) +
                         (canned ? " (scripted)" : ""));
    return reply;
}

std::optional<Override> DevService::takeOverride(const Incoming& request) {
    for (auto it = state_.overrides.begin(); it != state_.overrides.end(); ++it) {
        if (it->path != request.path || (!it->method.empty() && it->method != request.method))
            continue;
        Override found = *it;
        if (it->times > 0 && --it->times == 0)
            state_.overrides.erase(it);
        return found;
    }
    return std::nullopt;
}

void DevService::recordRequest(const Incoming& request) {
    json headers = json::object();
    if (!request.token.empty())
        headers["token"] = request.token;
    if (!request.authorization.empty())
        headers["authorization"] = request.authorization;
    if (!request.version.empty())
        headers["version"] = request.version;
    if (!request.contentType.empty())
        headers["content-type"] = request.contentType;
    json entry{
        {"method", request.method}, {"path", request.path}, {"query", request.query}, {"headers", headers}};
    json body = json::parse(request.body, nullptr, false);
    if (!body.is_discarded())
        entry["body"] = body;
    else if (!request.body.empty())
        entry["body_text"] = request.body.substr(0, kMaxLoggedBody);
    if (requestLog_.size() >= kMaxLoggedRequests)
        requestLog_.pop_front();
    requestLog_.push_back(std::move(entry));
    if (!request.body.empty())
        platform::consoleLog(
            "devservice: " + request.method + " " + request.path + " body " +
            (body.is_discarded() ? std::string("(not JSON)") : dumpJson(platform::redacted(body))));
}

Reply DevService::route(const Incoming& request) {
    struct Endpoint {
        const char* path;
        const char* method;
    };
    static const Endpoint kEndpoints[] = {
        {"/api/public/user/login", "POST"},
        {"/api/public/user/register", "POST"},
        {"/api/public/user/resetUserPassword", "POST"},
        {"/api/public/code/getEmailCode", "POST"},
        {"/api/customer/user/getUserInfo", "GET"},
        {"/api/public/server/getPublicSetting", "GET"},
        {"/api/public/sub/getNodeNames", "GET"},
        {"/api/customer/customerService/getSubscribeNodeList", "GET"},
        {"/api/customer/customerService/getCustomerServiceList", "GET"},
    };
    if (request.path == transport::kServerListPath)
        return request.method == "GET" ? serverList(request) : refuse(405, "请求方法错误", 405);
    // A page to open through the tunnel: the demo's proof that traffic reaches the web via a node.
    if (request.path == "/" && request.method == "GET")
        return Reply{
            200,
            "<!doctype html><html><head><meta charset=\"utf-8\"><title>NimoMac</title></head>"
            "<body><h1>NimoMac 本地服务</h1><p>你好，这里是 NimoMac 的本地演示服务。</p></body></html>\n",
            "text/html; charset=utf-8"};
    const Endpoint* endpoint = nullptr;
    for (const Endpoint& e : kEndpoints)
        if (request.path == e.path)
            endpoint = &e;
    if (!endpoint)
        return refuse(404, "接口不存在", 404);
    if (request.method != endpoint->method)
        return refuse(405, "请求方法错误", 405);

    if (std::string_view(endpoint->method) == "POST") {
        std::optional<json> body = objectBody(request.body);
        if (!body)
            return refuse(kBadParameters, "参数错误");
        if (request.path == "/api/public/user/login")
            return login(*body);
        if (request.path == "/api/public/user/register")
            return registerAccount(*body);
        if (request.path == "/api/public/user/resetUserPassword")
            return resetPassword(*body);
        return emailCode(*body);
    }
    if (request.path == "/api/customer/user/getUserInfo")
        return userInfo(request);
    if (request.path == "/api/public/server/getPublicSetting")
        return publicSetting();
    if (request.path == "/api/public/sub/getNodeNames")
        return nodeNames();
    if (request.path == "/api/customer/customerService/getSubscribeNodeList")
        return subscribeNodeList(request);
    return customerServiceList(request);
}

std::string DevService::newToken() {
    static const char* hex = "0123456789abcdef";
    std::string token;
    for (int i = 0; i < 40; ++i)
        token.push_back(hex[random_() % 16]);
    return token;
}

std::string DevService::newCode() {
    return std::to_string(100000 + random_() % 900000);
}

json DevService::signInResult(const Account& account) {
    if (state_.tokens.size() >= kMaxTokens)
        state_.tokens.erase(state_.tokens.begin());
    std::string token = newToken();
    state_.tokens[token] = account.email;
    json user{{"id", account.id},
              {"user_name", account.email},
              {"avatar", account.avatar},
              {"invitation_code", std::to_string(account.invitationCode)},
              {"member_expiry_at", account.memberExpiryAt},
              {"member_level", account.memberLevel}};
    return json{{"token", token}, {"user", user}};
}

Reply DevService::login(const json& body) {
    auto user = stringField(body, "user_name");
    auto password = stringField(body, "password");
    if (!user || !password)
        return refuse(kBadParameters, "参数错误");
    auto it = state_.accounts.find(*user);
    if (it == state_.accounts.end() || it->second.password != *password)
        return refuse(kBadCredentials, "账号或密码错误");
    return ok(signInResult(it->second));
}

bool DevService::takeCode(const std::string& type, const std::string& email, const std::string& code) {
    auto stored = state_.codes.find(type + "|" + email);
    if (stored == state_.codes.end() || stored->second.code != code ||
        stored->second.expires < std::chrono::steady_clock::now())
        return false;
    state_.codes.erase(stored);
    return true;
}

Reply DevService::registerAccount(const json& body) {
    auto user = stringField(body, "user_name");
    auto code = stringField(body, "email_code");
    auto password = stringField(body, "password");
    auto again = stringField(body, "re_password");
    if (!user || !code || !password || !again)
        return refuse(kBadParameters, "参数错误");
    if (!validEmail(*user))
        return refuse(kBadParameters, "邮箱格式错误");
    if (password->size() < 6 || password->size() > 128)
        return refuse(kBadParameters, "密码长度应为6到128位");
    if (*password != *again)
        return refuse(kPasswordsDiffer, "两次输入的密码不一致");
    if (state_.accounts.count(*user))
        return refuse(kAccountExists, "该邮箱已注册");
    if (state_.accounts.size() >= kMaxAccounts)
        return refuse(kBadParameters, "注册人数已满");
    if (!takeCode(kRegisterType, *user, *code))
        return refuse(kBadCode, "验证码错误或已过期");

    Account acc;
    acc.id = state_.nextAccountId++;
    acc.email = *user;
    acc.password = *password;
    acc.invitationCode = 100000 + random_() % 900000;
    acc.memberLevel = 0;
    acc.memberExpiryAt = serviceTime(std::chrono::system_clock::now() + std::chrono::hours(24 * 3));
    json nodes = json::array();
    for (size_t i = 0; i < std::min<size_t>(2, state_.nodeNames.size()); ++i)
        nodes.push_back(state_.nodeNames[i]);
    acc.subscriptions.push_back(json{{"id", state_.nextSubscriptionId++},
                                     {"name", "免费试用"},
                                     {"total_bandwidth", kGiB},
                                     {"used_up", 0},
                                     {"used_down", 0},
                                     {"service_status", true},
                                     {"sub_status", true},
                                     {"sub_uuid", newToken().substr(0, 32)},
                                     {"nodes", nodes}});
    platform::consoleLog("devservice: registered " + acc.email + " as " + std::to_string(acc.id));
    auto [slot, inserted] = state_.accounts.emplace(acc.email, std::move(acc));
    (void)inserted;
    return ok(signInResult(slot->second));
}

Reply DevService::resetPassword(const json& body) {
    auto user = stringField(body, "user_name");
    auto code = stringField(body, "email_code");
    auto password = stringField(body, "password");
    if (!user || !code || !password)
        return refuse(kBadParameters, "参数错误");
    if (password->size() < 6 || password->size() > 128)
        return refuse(kBadParameters, "密码长度应为6到128位");
    auto account = state_.accounts.find(*user);
    if (account == state_.accounts.end())
        return refuse(kNoAccount, "账号不存在");
    if (!takeCode(kResetType, *user, *code))
        return refuse(kBadCode, "验证码错误或已过期");
    account->second.password = *password;
    // A new password ends every session of the account.
    std::erase_if(state_.tokens, [&](const auto& entry) { return entry.second == *user; });
    platform::consoleLog("devservice: password reset for " + *user);
    return ok(nullptr);
}

Reply DevService::emailCode(const json& body) {
    auto type = stringField(body, "email_type");
    auto target = stringField(body, "target_email");
    if (!type || !target || (*type != kRegisterType && *type != kResetType))
        return refuse(kBadParameters, "参数错误");
    if (!validEmail(*target))
        return refuse(kBadParameters, "邮箱格式错误");
    const bool exists = state_.accounts.count(*target) > 0;
    if (*type == kRegisterType && exists)
        return refuse(kAccountExists, "该邮箱已注册");
    if (*type == kResetType && !exists)
        return refuse(kNoAccount, "账号不存在");
    if (state_.codes.size() >= kMaxCodes) {
        // Expired codes go first; failing that, the oldest entry.
        const auto now = std::chrono::steady_clock::now();
        std::erase_if(state_.codes, [&](const auto& entry) { return entry.second.expires < now; });
        if (state_.codes.size() >= kMaxCodes)
            state_.codes.erase(state_.codes.begin());
    }
    std::string code = newCode();
    state_.codes[*type + "|" + *target] = {code, std::chrono::steady_clock::now() + kCodeLifetime};
    // No mail leaves this service: the code goes to the log instead.
    platform::consoleLog("devservice: verification code " + *type + " for " + *target + ": " + code);
    return ok(json::object());
}

const DevService::Account* DevService::accountForToken(const Incoming& request) const {
    const std::string& token = !request.token.empty() ? request.token : request.authorization;
    if (token.empty())
        return nullptr;
    auto it = state_.tokens.find(token);
    if (it == state_.tokens.end())
        return nullptr;
    auto acc = state_.accounts.find(it->second);
    return acc == state_.accounts.end() ? nullptr : &acc->second;
}

Reply DevService::userInfo(const Incoming& request) {
    const Account* acc = accountForToken(request);
    if (!acc)
        return refuse(kSessionInvalid, "登录已失效，请重新登录");
    return ok(json{{"id", acc->id},
                   {"user_name", acc->email},
                   {"avatar", acc->avatar},
                   {"invitation_code", acc->invitationCode},
                   {"member_expiry_at", acc->memberExpiryAt},
                   {"member_level", acc->memberLevel}});
}

Reply DevService::publicSetting() {
    if (state_.publicSetting)
        return ok(*state_.publicSetting);
    return ok(json{{"backend_url", baseURL_}, {"site_name", "NimoMac"}});
}

Reply DevService::nodeNames() {
    return ok(state_.nodeNames);
}

Reply DevService::subscribeNodeList(const Incoming& request) {
    const Account* acc = accountForToken(request);
    if (!acc)
        return refuse(kSessionInvalid, "登录已失效，请重新登录");
    auto q = request.query.find("id");
    std::int64_t id = 0;
    if (q == request.query.end())
        return refuse(kBadParameters, "参数错误");
    const std::string& text = q->second;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), id);
    if (ec != std::errc() || end != text.data() + text.size())
        return refuse(kBadParameters, "参数错误");
    for (const json& sub : acc->subscriptions) {
        if (integerField(sub, "id") != id)
            continue;
        json list = json::array();
        if (auto nodes = sub.find("nodes"); nodes != sub.end() && nodes->is_array()) {
            std::int64_t n = 1;
            for (const json& name : *nodes)
                if (name.is_string())
                    list.push_back(json{{"id", n++}, {"remarks", name}, {"protocol", "vless"}});
        }
        return ok(list);
    }
    return refuse(kNoSubscription, "订阅不存在");
}

Reply DevService::customerServiceList(const Incoming& request) {
    const Account* acc = accountForToken(request);
    if (!acc)
        return refuse(kSessionInvalid, "登录已失效，请重新登录");
    json list = json::array();
    for (json sub : acc->subscriptions) {
        sub.erase("nodes");
        list.push_back(std::move(sub));
    }
    return ok(list);
}

// The online-configuration document of the subscription named by the query: a server object for each
// of its nodes, the real node of that name or else the real nodes in turn under the node's name.
Reply DevService::serverList(const Incoming& request) {
    auto uuid = request.query.find(transport::kServerListQuery);
    if (uuid == request.query.end() || uuid->second.empty())
        return jsonReply(400, json{{"error", "no subscription identifier"}});
    for (const auto& [email, acc] : state_.accounts) {
        for (const json& sub : acc.subscriptions) {
            if (stringField(sub, "sub_uuid") != uuid->second)
                continue;
            json servers = json::array();
            std::size_t next = 0;
            if (auto nodes = sub.find("nodes"); nodes != sub.end() && nodes->is_array()) {
                for (const json& name : *nodes) {
                    if (!name.is_string())
                        continue;
                    json server;
                    for (const json& s : state_.servers)
                        if (s.is_object() && s.value("remarks", json()) == name)
                            server = s;
                    if (server.is_null() && !state_.servers.empty()) {
                        server = state_.servers[next++ % state_.servers.size()];
                        if (server.is_object())
                            server["remarks"] = name;
                    }
                    if (!server.is_null())
                        servers.push_back(server);
                }
            }
            return jsonReply(200, json{{"version", 1}, {"servers", servers}});
        }
    }
    return jsonReply(404, json{{"error", "no such subscription"}});
}

Reply DevService::admin(const Incoming& request) {
    const std::string& p = request.path;
    auto body = [&]() { return json::parse(request.body, nullptr, false); };
    if (p == "/admin/override" && request.method == "POST") {
        Override o;
        std::string error;
        if (!parseOverride(body(), o, &error))
            return jsonReply(400, json{{"error", error}});
        addOverride(state_.overrides, std::move(o));
        return jsonReply(200, json{{"ok", true}});
    }
    if (p == "/admin/clear-overrides" && request.method == "POST") {
        state_.overrides.clear();
        return jsonReply(200, json{{"ok", true}});
    }
    if (p == "/admin/clear-requests" && request.method == "POST") {
        requestLog_.clear();
        return jsonReply(200, json{{"ok", true}});
    }
    if (p == "/admin/fixture" && request.method == "POST") {
        State parsed;
        std::string error;
        if (!parseFixture(body(), parsed, &error))
            return jsonReply(400, json{{"error", error}});
        state_ = std::move(parsed);
        return jsonReply(200, json{{"ok", true}});
    }
    if (p == "/admin/code" && request.method == "GET") {
        auto email = request.query.find("email");
        auto type = request.query.find("type");
        if (email == request.query.end() || type == request.query.end())
            return jsonReply(400, json{{"error", "give email and type"}});
        auto it = state_.codes.find(type->second + "|" + email->second);
        if (it == state_.codes.end())
            return jsonReply(404, json{{"error", "no code"}});
        return jsonReply(200, json{{"code", it->second.code}});
    }
    if (p == "/admin/requests" && request.method == "GET")
        return jsonReply(200, json(requestLog_));
    if (p == "/admin/state" && request.method == "GET") {
        json accounts = json::array();
        for (const auto& [email, acc] : state_.accounts)
            accounts.push_back(json{{"email", email},
                                    {"id", acc.id},
                                    {"member_level", acc.memberLevel},
                                    {"member_expiry_at", acc.memberExpiryAt},
                                    {"subscriptions", acc.subscriptions}});
        json overrides = json::array();
        for (const Override& o : state_.overrides)
            overrides.push_back(overrideToJson(o));
        return jsonReply(200, json{{"accounts", accounts},
                                   {"sessions", state_.tokens.size()},
                                   {"node_names", state_.nodeNames},
                                   {"overrides", overrides}});
    }
    return jsonReply(404, json{{"error", "unknown admin endpoint"}});
}

} // namespace nimo::devservice
