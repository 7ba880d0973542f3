#pragma once

#include "service/NMNetWorkError.h"
#include "service/NetWorkTool.h"

#include <QObject>
#include <QString>
#include <functional>
#include <optional>

namespace nimo {

class NMApi;
class PageHost;
struct AppContext;

// The main screen's service loads, without views: public settings, user info, the subscription and
// the node lists, through one host list and one retry index (requsetCount). What they store reaches
// the screens through the account session; what the user must read goes to the host's toast.
//
// A session the service no longer accepts (40101) is told once, however many requests of a burst
// hear it, and nothing that needs the session is sent after it until the next sign-in.
class ServiceLoader : public QObject {
    Q_OBJECT
public:
    using UserInfoCompletion = std::function<void(const std::optional<NMNetWorkError>& error)>;
    using SubscriptionCompletion = std::function<void(bool success, const std::optional<QString>& message)>;

    ServiceLoader(const AppContext& context, PageHost& host, QObject* parent = nullptr);

    // Nothing at all (not even the completion) without a stored token.
    void loadUserInfo(UserInfoCompletion completion);
    // Checks expiry, traffic and the subscription identifier; (false, none) when nothing was sent
    // for want of a session.
    void loadSubscription(SubscriptionCompletion completion);
    void loadPublicSetting();
    // The node catalogue (all names) or the subscribed list, refreshed in the settings.
    void fetchNodes(bool subscribed);
    // The user info, the title strip, then the subscription (a failure toasted) and the subscribed
    // nodes; with withCatalogue also the node catalogue, as a switch to the home page does.
    void reloadAccount(bool withCatalogue);

    int requsetCount() const;

private:
    ServiceFailure gated(std::function<void(const NMNetWorkError& error, bool sessionLost)> handle);
    void sessionLost(const NMNetWorkError& error);
    bool sessionUsable() const;
    void stopTunnelIfActive();

    const AppContext& context_;
    PageHost& host_;
    NMApi* api_ = nullptr;
    bool sessionLostTold_ = false; // until the next sign-in
};

} // namespace nimo
