#include "app/NodesInfoVC.h"

#include "app/MainWindowController.h"
#include "platform/Log.h"
#include "service/SettingsStore.h"
#include "service/UserDefaultsCacheKeys.h"
#include "widgets/Fonts.h"
#include "widgets/Frames.h"
#include "widgets/Images.h"
#include "widgets/SmallWidgets.h"

#include <QPushButton>

namespace nimo {

namespace {
QPushButton* imageButton(const QString& image, QSize size, int tag, QWidget* parent) {
    auto* button = new QPushButton(parent);
    button->setFlat(true);
    button->setIcon(images::icon(image));
    button->setIconSize(size);
    button->setFocusPolicy(Qt::NoFocus);
    button->setCursor(Qt::PointingHandCursor);
    button->setStyleSheet(QStringLiteral("QPushButton { border: none; background: transparent; }"));
    button->setProperty("tag", tag);
    return button;
}
} // namespace

NodesInfoVC::NodesInfoVC(const AppContext& context, QWidget* parent) : QWidget(parent), context_(context) {
    setObjectName(QStringLiteral("NodesInfoVC"));
    setFixedSize(kWidth, kHeight);
    setAutoFillBackground(true);
    QPalette palette = this->palette();
    palette.setColor(QPalette::Window, Qt::white);
    setPalette(palette);

    auto* back = new ImageView(QStringLiteral("mainwork_back@2x.png"), this);
    setFrame(back, kWidth - 379 - 40, 40, 379, 386);
    auto* tips = new ImageView(QStringLiteral("mainwork_tips@2x.png"), this);
    setFrame(tips, 90, 330, 301, 62);
    auto* logo = new ImageView(QStringLiteral("titlebar_logo"), this);
    setFrame(logo, 20, kHeight - 18 - 16, 138, 18);

    auto* close = imageButton(QStringLiteral("titlebar_close"), QSize(13, 13), 1, this);
    setFrame(close, kWidth - 13 - 18, kHeight - 13 - 18, 13, 13);
    auto* minimize = imageButton(QStringLiteral("titlebar_min"), QSize(13, 13), 2, this);
    setFrame(minimize, kWidth - 13 - 18 - 30, kHeight - 13 - 18, 13, 13);
    auto* start = imageButton(QStringLiteral("mainwork_start@2x.png"), QSize(202, 71), 1000, this);
    setFrame(start, 90, 200, 202, 71);
    for (QPushButton* button : {close, minimize, start})
        connect(button, &QPushButton::clicked, this, [this, button] { onTapButton(button); });
}

NodesInfoVC::~NodesInfoVC() = default;

void NodesInfoVC::onTapButton(QObject* sender) {
    QWidget* window = windowController ? static_cast<QWidget*>(windowController.data()) : nullptr;
    switch (sender->property("tag").toInt()) {
    case 1:
        if (window)
            window->close();
        break;
    case 2:
        if (window)
            window->showMinimized();
        break;
    case 1000:
        startConnect();
        break;
    default:
        break;
    }
}

void NodesInfoVC::applyVpnStatus(int status) {
    platform::consoleLog("onVpnStatusChange:" + std::to_string(status));
    lastVpnStatus = status;
}

void NodesInfoVC::startConnect() {
    refreshTitleStrip(false);
    if (!context_.settings.hasUserInfo()) {
        showToast(QStringLiteral("请先登录再使用"));
        return;
    }
}

void NodesInfoVC::showToast(const QString& text) {
    context_.toasts.showToast(this, text);
}

ToastWindowController* NodesInfoVC::toastWC() const {
    auto* toasts = dynamic_cast<const Toasts*>(&context_.toasts);
    return toasts ? toasts->current(this) : nullptr;
}

void NodesInfoVC::refreshTitleStrip(bool) {}

} // namespace nimo
