#pragma once

#include "account/LoginAlertView.h"
#include "service/NMNetWorkError.h"
#include "widgets/PageHost.h"
#include "widgets/SmallWidgets.h"

#include <QPointer>
#include <QWidget>
#include <functional>
#include <optional>

class QAbstractButton;
class QRadioButton;

namespace nimo {

class CancelTapView;
class ConnectButton;
class ImageButton;
class ImageView;
class LoginAlertView;
class MainWindowController;
class NMApi;
class NodePageView;
class ToastWindowController;
class UserAccountPage;
struct AppContext;

// The main screen, content of the main window: the title strip (window buttons, customer chat,
// account badge, traffic, days left, sign-in), the home page with the start button and the tunnel
// display, and a second container whose toolbar switches between the route and account pages. It
// loads the public settings, the account and the subscription, presents the login dialog, and turns
// a start press into subscription check, activation and tunnel start.
class NodesInfoVC : public QWidget, public PageHost {
    Q_OBJECT
public:
    static constexpr int kWidth = 920;
    static constexpr int kHeight = 580;
    static constexpr const char* kTipsAnimationKey = "tips.roate";

    using UserInfoCompletion = std::function<void(const std::optional<NMNetWorkError>& error)>;
    using SubscriptionCompletion = std::function<void(bool success, const std::optional<QString>& message)>;

    explicit NodesInfoVC(const AppContext& context, QWidget* parent = nullptr);
    ~NodesInfoVC() override;

    QPointer<MainWindowController> windowController;
    int lastVpnStatus = 0;
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

    void loadUserInfo(UserInfoCompletion completion);
    void loadSubscription(SubscriptionCompletion completion);
    void loadPublicSetting();

    // Connection control.
    void startConnect();
    void stopTunnelIfActive();
    void applyVpnStatus(int status);
    void onNodeSelected(const std::optional<std::string>& name, const std::optional<std::string>& message);

    ToastWindowController* toastWC() const;
    // The main screen's index into its host list (requsetCount).
    int requsetCount() const;

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

    bool pagerouteLoaded = false;
    bool pageimportLoaded = false;
    bool pageaddLoaded = false;
    bool pageuserLoaded = false;

protected:
    void showEvent(QShowEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void buildHomePage();
    void buildOtherWorkView();
    void buildTitleStrip();
    ImageButton* lazyToolbarButton(ImageButton*& slot, const char* title, const char* image, int tag);
    ImageButton* makeTabButton(const QString& title, const QString& image, int tag, QWidget* parent);
    void connectTap(QAbstractButton* button);
    void showStartFace();
    void showBusyFace(int state);
    void onRunningModeChanged();
    void onActivationFailed(const QVariant& object);
    void fetchNodes(bool subscribed);

    const AppContext& context_;
    NMApi* api_ = nullptr;
    bool isLoadedView_ = false;
    bool waitingForFirstPaint_ = false; // shown; the first appearance waits for the window's first paint

    ImageView* ttbarAccoutback_ = nullptr;
    ImageButton* ttbarAccoutButton_ = nullptr;
    ImageButton* ttbarMergeButton_ = nullptr;
    ImageButton* ttbarExpireButton_ = nullptr;
    ImageButton* ttbarLoginButton_ = nullptr;
    ImageButton* ttbarTips_ = nullptr;
    QWidget* mainWorkView_ = nullptr;
    ImageButton* nodeRemarkLabel_ = nullptr;
    ImageButton* startProxyButton_ = nullptr;
    ConnectButton* connectButton_ = nullptr;
    QWidget* otherWorkView_ = nullptr;
    QWidget* otherHeaderView_ = nullptr;
    ImageView* toolbar_btn_back_ = nullptr;
    ImageButton* toolbar_btn_home_ = nullptr;
    ImageButton* toolbar_btn_route_ = nullptr;
    ImageButton* toolbar_btn_import_ = nullptr;
    ImageButton* toolbar_btn_add_ = nullptr;
    ImageButton* toolbar_btn_user_ = nullptr;
    NodePageView* pageView_route_ = nullptr;
    UserAccountPage* pageView_user_ = nullptr;
    QPointer<CancelTapView> loginCover_;
    QPointer<LoginAlertView> loginDialog_;
};

} // namespace nimo
