#include "app/HomePage.h"

#include "app/MainScreenTags.h"
#include "nodes/NodeCatalogue.h"
#include "platform/Log.h"
#include "tunnel/TunnelTypes.h"
#include "widgets/ColorHex.h"
#include "widgets/ConnectButton.h"
#include "widgets/Fonts.h"
#include "widgets/Frames.h"
#include "widgets/ImageButton.h"
#include "widgets/KeyboardFocus.h"
#include "widgets/SmallWidgets.h"

#include <QLabel>
#include <QRadioButton>

namespace nimo {

using Position = ImageButton::ImagePosition;

namespace {
const QColor kToolbarGrey(102, 102, 102); // (0.4, 0.4, 0.4)
}

HomePage::HomePage(QWidget* root, VPNTunnelManager& tunnel, TapHandler tap)
    : QObject(root), root_(root), tunnel_(tunnel), tap_(std::move(tap)) {}

void HomePage::build(int width, int height, const std::optional<std::string>& node, const std::string& mode) {
    QWidget* home = mainWorkView();
    setFrame(home, 0, 0, width, height);

    auto* back = new ImageView(QStringLiteral("mainwork_back@2x.png"), home);
    setFrame(back, width - 379 - 30, 134, 379, 386);

    auto* tips = new ImageView(QStringLiteral("mainwork_tips@2x.png"), home);
    tips->setObjectName(QStringLiteral("mainworkTips"));
    setFrame(tips, 90, 390, 301, 62);
    auto* headline = new QLabel(QStringLiteral("一键连接，畅享全球网络"), tips);
    headline->setFont(boldSystemFont(22));
    headline->setStyleSheet(QStringLiteral("color: #303030;"));
    setFrame(headline, 0, 28, 301, 32);
    auto* tagline = new QLabel(QStringLiteral("安全、稳定、高速的加速服务"), tips);
    tagline->setFont(systemFont(13));
    tagline->setStyleSheet(QStringLiteral("color: #8C96A0;"));
    setFrame(tagline, 0, 10, 301, 20);

    setFrame(startProxyButton(), 90, 290, 202, 71);
    setFrame(connectButton(), 90, 282, 260, 88);
    connectButton()->setupViews();
    connectButton()->hide();

    setFrame(nodeRemarkLabel(), 96, 250, 250, 13);
    showNode(node);

    const struct {
        const char* title;
        MainScreenTag tag;
        const char* mode;
        int x;
    } radios[] = {{"智能模式", MainScreenTag::RuleMode, kTunModeRule, 96},
                  {"全局模式", MainScreenTag::GlobalMode, kTunModeGlobal, 196}};
    for (const auto& r : radios) {
        auto* radio = new QRadioButton(QString::fromUtf8(r.title), home);
        radio->setObjectName(QStringLiteral("modeButton%1").arg(tagValue(r.tag)));
        radio->setProperty("tag", tagValue(r.tag));
        radio->setFont(systemFont(11));
        radio->setStyleSheet(QStringLiteral("QRadioButton { color: #666666; }"));
        makeKeyboardControl(radio);
        radio->setChecked(mode == r.mode);
        setFrame(radio, r.x, 212, 90, 20);
        tap_(radio);
    }

    auto* tabbar = new ImageView(QStringLiteral("mainwork_tabbar_back@2x.png"), home);
    setFrame(tabbar, 0, 0, width, 170);
    const struct {
        const char* title;
        const char* image;
        int tag;
    } tabs[] = {{"网络加速", "maintabbar_1_h@2x.png", tagValue(MainScreenTag::HomeTab)},
                {"线路选择", "maintabbar_2_n@2x.png", 1101},
                {"会员中心", "maintabbar_5_n@2x.png", tagValue(MainScreenTag::LastHomeTab)}};
    int slot = 0;
    for (const auto& tab : tabs) {
        ImageButton* button = makeTabButton(tab.title, tab.image, tab.tag, tabbar);
        button->setObjectName(QStringLiteral("tab%1").arg(tab.tag));
        setFrame(button, width / 2 - 230 + slot * 230 - 40, 52, 80, 52);
        ++slot;
        if (tab.tag == tagValue(MainScreenTag::HomeTab)) {
            button->setFont(boldSystemFont(11));
            button->setTitleColor(colorFromHex("#3B79E0"));
            button->setCursor(Qt::ArrowCursor);
        } else {
            tap_(button);
        }
    }
}

ImageButton* HomePage::makeTabButton(const char* title, const char* image, int tag, QWidget* parent) {
    auto* button = new ImageButton(QString::fromLatin1(image), Position::ImageAbove, parent);
    button->setText(QString::fromUtf8(title));
    button->setTag(tag);
    button->setImageSize(QSize(28, 28));
    button->setFont(systemFont(11));
    button->setTitleColor(kToolbarGrey);
    return button;
}

void HomePage::showNode(const std::optional<std::string>& name) {
    if (!name || isAutoRoute(*name))
        nodeRemarkLabel()->setText(QString::fromUtf8(kAutoRouteTitle));
    else
        nodeRemarkLabel()->setText(QString::fromStdString(*name));
}

void HomePage::showMode(const std::string& mode) {
    const MainScreenTag tag = mode == kTunModeRule ? MainScreenTag::RuleMode : MainScreenTag::GlobalMode;
    if (QRadioButton* button = modeButton(tagValue(tag)))
        button->setChecked(true);
}

QWidget* HomePage::mainWorkView() {
    if (!mainWorkView_) {
        mainWorkView_ = new ColorView(Qt::white, root_);
        mainWorkView_->setObjectName(QStringLiteral("mainWorkView"));
    }
    return mainWorkView_;
}

ImageButton* HomePage::nodeRemarkLabel() {
    if (!nodeRemarkLabel_) {
        nodeRemarkLabel_ =
            new ImageButton(QStringLiteral("mainwork_route@2x.png"), Position::ImageLeft, mainWorkView());
        nodeRemarkLabel_->setObjectName(QStringLiteral("nodeRemarkLabel"));
        nodeRemarkLabel_->setFont(systemFont(11));
        nodeRemarkLabel_->setTitleColor(QColor(80, 137, 218));
        nodeRemarkLabel_->setImageSize(QSize(13, 13));
        nodeRemarkLabel_->setTag(tagValue(MainScreenTag::NodeRemark));
        tap_(nodeRemarkLabel_);
    }
    return nodeRemarkLabel_;
}

ImageButton* HomePage::startProxyButton() {
    if (!startProxyButton_) {
        startProxyButton_ =
            new ImageButton(QStringLiteral("mainwork_start@2x.png"), Position::ImageBehind, mainWorkView());
        startProxyButton_->setObjectName(QStringLiteral("startProxyButton"));
        startProxyButton_->setText(QStringLiteral("一键加速"));
        startProxyButton_->setFont(boldSystemFont(19));
        startProxyButton_->setTitleColor(Qt::white);
        // Title right of the power mark the image draws at its left end.
        startProxyButton_->setTitleInsets(QMargins(30, 0, 0, 7));
        startProxyButton_->setTag(tagValue(MainScreenTag::Start));
        tap_(startProxyButton_);
    }
    return startProxyButton_;
}

ConnectButton* HomePage::connectButton() {
    if (!connectButton_)
        connectButton_ = new ConnectButton(tunnel_, mainWorkView());
    return connectButton_;
}

QRadioButton* HomePage::modeButton(int tag) const {
    return mainWorkView_ ? mainWorkView_->findChild<QRadioButton*>(QStringLiteral("modeButton%1").arg(tag))
                         : nullptr;
}

// ---- connection presenter

void ConnectionPresenter::showStartFace() {
    page_.startProxyButton()->show();
    page_.connectButton()->changeConnectState(ConnectButton::Idle);
}

void ConnectionPresenter::showBusyFace(int state) {
    page_.startProxyButton()->hide();
    page_.connectButton()->changeConnectState(state);
}

bool ConnectionPresenter::startFaceShown() const {
    return !page_.startProxyButton()->isHidden();
}

void ConnectionPresenter::applyVpnStatus(int status) {
    platform::consoleLog("onVpnStatusChange:" + std::to_string(status));
    switch (status) {
    case 0:
    case 1:
        // After 2 too: a start the provider took and then lost leaves the tunnel down, so the start
        // button comes back instead of "开始连接..."; the tunnel manager tells why, once.
        if (lastVpnStatus == 5 || lastVpnStatus == 3 || lastVpnStatus == 2)
            showStartFace();
        break;
    case 2:
        page_.startProxyButton()->hide();
        if (lastVpnStatus == 0 || lastVpnStatus == 1)
            page_.connectButton()->changeConnectState(ConnectButton::Connecting);
        break;
    case 3:
        if (lastVpnStatus != 3)
            showBusyFace(ConnectButton::Connected);
        break;
    case 5:
        if (lastVpnStatus == 3)
            showBusyFace(ConnectButton::Disconnecting);
        break;
    default:
        platform::consoleLog("onVpnStatusChange.unknow:" + std::to_string(status));
        break;
    }
    lastVpnStatus = status;
}

void ConnectionPresenter::showStatusNow(int status) {
    switch (status) {
    case 2:
        showBusyFace(ConnectButton::Connecting);
        break;
    case 3:
    case 4:
        showBusyFace(ConnectButton::Connected);
        break;
    case 5:
        showBusyFace(ConnectButton::Disconnecting);
        break;
    default:
        showStartFace();
        break;
    }
}

} // namespace nimo
