#pragma once

#include "service/NMApi.h"

#include <QString>

class QObject;

namespace nimo {

class AccountSession;
class NimoShared;
class SettingsStore;
class UrlOpener;
class VPNTunnelManager;
namespace http {
class SessionManager;
}

// Shows short messages; each owner keeps at most one toast, and a new one closes its previous one.
class ToastPresenter {
public:
    virtual ~ToastPresenter() = default;
    virtual void showToast(QObject* owner, const QString& text) = 0;
};

// The core objects every screen works with, made once in main and handed to each screen's
// constructor. Screens reach the store, the shared container, the tunnel and the service only
// through it, so a test can build a screen over temporary files and local services.
struct AppContext {
    SettingsStore& settings;
    NimoShared& shared;
    VPNTunnelManager& tunnel;
    http::SessionManager& session;
    UrlOpener& opener;
    ToastPresenter& toasts;
    AccountSession& account; // the signed-in account over settings, with its change signals

    // A requester's own endpoints (with its own retry index), owned by owner.
    NMApi* makeApi(HostList hosts, QObject* owner) const {
        return new NMApi(settings, hosts, session, owner);
    }
};

} // namespace nimo
