#include "widgets/ConnectButton.h"

#include "platform/Log.h"
#include "tunnel/VPNTunnelManager.h"
#include "widgets/ColorHex.h"
#include "widgets/Fonts.h"
#include "widgets/Frames.h"

#include <numbers>

namespace nimo {

namespace {
QLabel* makeLabel(const QString& text, const QFont& font, const char* color, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setFont(font);
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, colorFromHex(color));
    label->setPalette(palette);
    label->setAttribute(Qt::WA_TransparentForMouseEvents);
    return label;
}
} // namespace

ConnectButton::ConnectButton(VPNTunnelManager& tunnel, QWidget* parent) : QWidget(parent), tunnel_(tunnel) {
    setObjectName(QStringLiteral("connectButton"));
}

ImageButton* ConnectButton::startButton() {
    if (!startButton_) {
        startButton_ = new ImageButton(QStringLiteral("mainwork_startingback@2x.png"),
                                       ImageButton::ImagePosition::ImageOnly, this);
        startButton_->setObjectName(QStringLiteral("startButton"));
        startButton_->setTag(0);
        // One stop for the keyboard: the centre image above it.
        startButton_->setFocusPolicy(Qt::NoFocus);
        connect(startButton_, &QAbstractButton::clicked, this,
                [this] { onTapButtonWithSender(startButton_); });
    }
    return startButton_;
}

ImageButton* ConnectButton::earthImge() {
    if (!earthImge_) {
        earthImge_ = new ImageButton(QStringLiteral("mainwork_starting@2x.png"),
                                     ImageButton::ImagePosition::ImageOnly, this);
        earthImge_->setObjectName(QStringLiteral("earthImge"));
        earthImge_->setTag(3);
        connect(earthImge_, &QAbstractButton::clicked, this, [this] { onTapButtonWithSender(earthImge_); });
    }
    return earthImge_;
}

QLabel* ConnectButton::titleLabel() {
    if (!titleLabel_)
        titleLabel_ = makeLabel(QStringLiteral("正在加速"), boldSystemFont(30), "#303030", this);
    return titleLabel_;
}

QLabel* ConnectButton::subLabel() {
    if (!subLabel_)
        subLabel_ = makeLabel(QStringLiteral("连接中,请稍候..."), systemFont(14), "#666666", this);
    return subLabel_;
}

void ConnectButton::setupViews() {
    setFrame(startButton(), 0, 0, 88, 88);
    setFrame(earthImge(), 10, 10, 68, 68);
    setFrame(titleLabel(), 113, 43, 150, 34);
    setFrame(subLabel(), 113, 11, 150, 16);
    // The centre image sits above the ring so both stay tappable.
    earthImge()->raise();
}

void ConnectButton::spin(const char* key, double period) {
    ImageButton* ring = startButton();
    ring->removeAllAnimations();
    // The ring turns about its own centre over (0, 0, 88, 88).
    setFrame(ring, 0, 0, 88, 88);
    ring->setAnchorPoint(QPointF(0.5, 0.5));
    ring->addAnimation(QString::fromLatin1(key), {0, -2 * std::numbers::pi, period, false});
}

void ConnectButton::changeConnectState(int state) {
    platform::consoleLog("changeConnectState:" + std::to_string(state));
    switch (state) {
    case Connecting:
        titleLabel()->setText(QStringLiteral("正在加速"));
        subLabel()->setText(QStringLiteral("开始连接..."));
        break;
    case Connected:
        show();
        startButton()->setTag(2);
        titleLabel()->setText(QStringLiteral("已连接"));
        subLabel()->setText(QStringLiteral("点击断开"));
        earthImge()->setImageName(QStringLiteral("mainwork_stop@2x.png"));
        setFrame(earthImge(), 0, 0, 88, 88);
        spin(kConnectedKey, kConnectedPeriod);
        break;
    case Disconnecting:
    case Loading:
        titleLabel()->setText(state == Disconnecting ? QStringLiteral("正在断开")
                                                     : QStringLiteral("正在加速"));
        subLabel()->setText(state == Disconnecting ? QStringLiteral("开始断开，请稍候...")
                                                   : QStringLiteral("加载配置,请稍候..."));
        show();
        startButton()->setTag(1);
        earthImge()->setImageName(QStringLiteral("mainwork_starting@2x.png"));
        setFrame(earthImge(), 10, 10, 68, 68);
        spin(kConnectingKey, kConnectingPeriod);
        break;
    default:
        startButton()->removeAllAnimations();
        hide();
        break;
    }
    // Both images act as one control: what the texts say is its name.
    const QString name = titleLabel()->text() + QStringLiteral("，") + subLabel()->text();
    startButton()->setAccessibleName(name);
    earthImge()->setAccessibleName(name);
}

void ConnectButton::onTapButtonWithSender(ImageButton* sender) {
    if (!sender || sender->tag() < 2)
        return;
    const VpnStatus status = tunnel_.vpnStatus();
    if (status != VpnStatus::Connecting && status != VpnStatus::Connected)
        return;
    tunnel_.stopVPN();
}

} // namespace nimo
