#pragma once

#include "account/LoginAlertView.h"
#include "app/ServiceLoader.h"
#include "service/NMNetWorkError.h"
#include "widgets/PageHost.h"

#include <QPointer>
#include <QWidget>
#include <functional>
#include <optional>

class QAbstractButton;
class QRadioButton;

namespace nimo {

class CancelTapView;
class ConnectButton;
class ConnectJob;
class ConnectionPresenter;
class HomePage;
class ImageButton;
class ImageView;
class LoginAlertView;
class MainWindowController;
class NodePageView;
class PageContainer;
class TitleStrip;
class ToastWindowController;
class UserAccountPage;
struct AppContext;

// The main screen, content of the main window. It puts together the title strip, the home page
// with its connection presenter, the page container (route and account pages) and the service
// loader; it dispatches every button, presents the login dialog, and turns a start press into one
// connect job (subscription check, activation, tunnel start).
class NodesInfoVC : public QWidget, public PageHost {
    Q_OBJECT
public:
    static constexpr int kWidth = 920;
    static constexpr int kHeight = 580;
    static constexpr const char* kTipsAnimationKey = "tips.roate";

    using UserInfoCompletion = ServiceLoader::UserInfoCompletion;
    using SubscriptionCompletion = ServiceLoader::SubscriptionCompletion;

    explicit NodesInfoVC(const AppContext& context, QWidget* parent = nullptr);
    ~NodesInfoVC() override;

    QPointer<MainWindowController> windowController;
    // The last status applied to the home page.
    int lastVpnStatus() const;
    const double topbarHeight = 128;

    // First appearance: greeting and public settings, then account, title strip, subscription and
    // subscribed nodes. Later appearances load nothing.
    void viewWillAppear();
    void viewDidAppear();
    bool isLoadedView() const { return isLoadedView_; }

    void onTapButton(QObject* sender);
    void showToast(const QString& text) override;
    void refreshTitleStrip(bool stopTunnel) override;
    // 0 home, 1 route, 2 import, 3 add, 4 account.
    void showPage(int index);
    void showLoginDialog();

    void loadUserInfo(UserInfoCompletion completion) { loader_->loadUserInfo(std::move(completion)); }
    void loadSubscription(SubscriptionCompletion completion) {
        loader_->loadSubscription(std::move(completion));
    }
    void loadPublicSetting() { loader_->loadPublicSetting(); }

    // Connection control.
    void startConnect();
    void stopTunnelIfActive();
    void applyVpnStatus(int status);
    void onNodeSelected(const std::optional<std::string>& name, const std::optional<std::string>& message);
    // A start road (subscription check, activation, start) is under way: the loading face shows.
    bool isStarting() const;

    ToastWindowController* toastWC() const;
    // The main screen's index into its host list (requsetCount).
    int requsetCount() const { return loader_->requsetCount(); }

    // Views, made on first use.
    ImageView* ttbarAccoutback();
    ImageButton* ttbarAccoutButton();
    ImageButton* ttbarMergeButton();
    ImageButton* ttbarExpireButton();
    ImageButton* ttbarLoginButton();
    ImageButton* ttbarTips();
    QWidget* mainWorkView();
    ImageButton* nodeRemarkLabel();
    ImageButton* startProxyButton();
    ConnectButton* connectButton();
    QWidget* otherWorkView();
    QWidget* otherHeaderView();
    ImageView* toolbar_btn_back();
    ImageButton* toolbar_btn_home();
    ImageButton* toolbar_btn_route();
    ImageButton* toolbar_btn_import();
    ImageButton* toolbar_btn_add();
    ImageButton* toolbar_btn_user();
    NodePageView* pageView_route();
    UserAccountPage* pageView_user();
    // The home page's running-mode radio buttons (tags 1002, 1003).
    QRadioButton* modeButton(int tag) const;
    // The login dialog while it is shown.
    LoginAlertView* loginDialog() const { return loginDialog_; }

    bool pagerouteLoaded() const;
    bool pageuserLoaded() const;

Q_SIGNALS:
    // A start road began or ended (the status menu disables its switch meanwhile).
    void startingChanged(bool starting);

protected:
    void showEvent(QShowEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void connectTap(QAbstractButton* button);
    void onRunningModeChanged();
    void onActivationFailed(const QVariant& object);
    void onConnectJobFinished(int outcome, const QString& message);
    void onAccountChanged();
    void checkNodeAgainstSubscription();

    const AppContext& context_;
    ServiceLoader* loader_ = nullptr;
    TitleStrip* titleStrip_ = nullptr;
    HomePage* home_ = nullptr;
    std::unique_ptr<ConnectionPresenter> presenter_;
    PageContainer* pages_ = nullptr;
    ConnectJob* job_ = nullptr;
    bool isLoadedView_ = false;
    bool waitingForFirstPaint_ = false; // shown; the first appearance waits for the window's first paint
    bool checkNodeOnNextList_ = false;  // signed in anew: the node choice waits for the new plan's list
    QPointer<CancelTapView> loginCover_;
    QPointer<LoginAlertView> loginDialog_;
};

} // namespace nimo
