#include "nodes/NodePageView.h"

#include "nodes/ImageRadioButton.h"
#include "nodes/NodeCatalogue.h"
#include "platform/Log.h"
#include "platform/MainQueue.h"
#include "service/AccountSession.h"
#include "service/UserDefaultsCacheKeys.h"
#include "tunnel/AppContext.h"
#include "widgets/ColorHex.h"
#include "widgets/Fonts.h"
#include "widgets/Frames.h"
#include "widgets/SmallWidgets.h"

#include <QFontMetrics>
#include <QLabel>
#include <algorithm>

namespace nimo {

namespace keys = UserDefaultsCacheKeys;

namespace {
constexpr int kItemHeight = 24;
constexpr const char* kLockedMessage = "升级会员后可解锁使用";
constexpr const char* kRestoreLabel = "恢复上一上选中状态：";
constexpr const char* kSwitchLabel = "切换选中：";

bool contains(const std::vector<std::string>& list, const std::string& name) {
    return std::find(list.begin(), list.end(), name) != list.end();
}
} // namespace

NodePageView::NodePageView(const AppContext& context, QWidget* parent)
    : UxPageView(parent), context_(context) {
    connect(&context_.account, &AccountSession::nodesChanged, this, &NodePageView::refresh);
    connect(&context_.account, &AccountSession::accountChanged, this, &NodePageView::refresh);
}

void NodePageView::showTitle(const std::string& selection) {
    QLabel* title = toolbarTitleLabel();
    const QString titleText = QString::fromStdString(isAutoRoute(selection) ? kAutoRouteTitle : selection);
    title->setText(QFontMetrics(title->font()).elidedText(titleText, Qt::ElideRight, title->width()));
}

void NodePageView::refresh() {
    if (!autoRouteBtn_)
        return; // not built yet
    showTitle(currentNodeSelection(context_.shared));
    const auto subscribed = cachedNodeList(context_.settings, keys::subNodes);
    if (subscribed)
        myNodes_ = *subscribed;
    reloadNodeItems(cachedNodeList(context_.settings, keys::allNodes), subscribed);
}

ImageRadioButton* NodePageView::lastSelectedItem() const {
    return lastSelectedItem_;
}

void NodePageView::buildPage() {
    UxPageView::buildPage();
    setAutoFillBackground(true);
    QPalette background = palette();
    background.setColor(QPalette::Window, colorFromHex("#FCFCFC"));
    setPalette(background);

    const std::string selection = currentNodeSelection(context_.shared);
    showTitle(selection);

    const int pageWidth = width();
    const int contentHeight = height() - kToolbarHeight;
    content_ = new QWidget(this);
    content_->setObjectName(QStringLiteral("nodeContent"));
    setFrame(content_, 0, 0, pageWidth, contentHeight);
    const int itemWidth = static_cast<int>((pageWidth - 40 - 60) * 0.2);

    autoRouteBtn_ = new ImageRadioButton(content_);
    autoRouteBtn_->setObjectName(QStringLiteral("autoRouteBtn"));
    setFrame(autoRouteBtn_, 20, contentHeight - 35, itemWidth, kItemHeight);
    autoRouteBtn_->setupItem(kAutoRouteTitle, flagImageName(""));
    autoRouteBtn_->setTag(kAutoRouteTag);
    QPointer<NodePageView> self(this);
    autoRouteBtn_->nodeTapBlock = [self](ImageRadioButton*, bool) {
        if (self)
            self->onAutoRouteTapped();
    };

    auto* separator = new ColorView(colorFromHex("#e8e8e8"), content_);
    separator->setObjectName(QStringLiteral("separator"));
    setFrame(separator, QRectF(20, contentHeight - 50, pageWidth, 0.5));

    auto* section = new QLabel(QStringLiteral("国家地区"), content_);
    section->setObjectName(QStringLiteral("sectionLabel"));
    section->setFont(boldSystemFont(14));
    QPalette sectionPalette = section->palette();
    sectionPalette.setColor(QPalette::WindowText, colorFromHex("#3F3934"));
    section->setPalette(sectionPalette);
    setFrame(section, 20, contentHeight - 89, itemWidth, 24);

    const std::vector<std::string> catalogue =
        cachedNodeList(context_.settings, keys::allNodes).value_or(std::vector<std::string>{});
    if (auto subscribed = cachedNodeList(context_.settings, keys::subNodes))
        myNodes_ = std::move(*subscribed);

    if (isAutoRoute(selection)) {
        autoRouteBtn_->setState(ImageRadioButton::State::selected);
        lastSelectedItem_ = autoRouteBtn_;
    } else {
        autoRouteBtn_->setState(ImageRadioButton::State::selectable);
    }

    buildGrid(catalogue, selection, itemWidth, contentHeight);
    fetchCatalogue();
}

void NodePageView::buildGrid(const std::vector<std::string>& catalogue, const std::string& selection,
                             int itemWidth, int contentHeight) {
    myNodeItmes_.reserve(kItemCount);
    QPointer<NodePageView> self(this);
    for (int r = 0; r < kRows; ++r) {
        for (int c = 0; c < kColumns; ++c) {
            const size_t i = static_cast<size_t>(kColumns * r + c);
            std::string name;
            if (i < catalogue.size())
                name = catalogue[i];
            else if (catalogue.empty() && i < kDefaultNodeNames.size())
                name = kDefaultNodeNames[i];

            auto* item = new ImageRadioButton(content_);
            setFrame(item, 20 + c * (itemWidth + 20), contentHeight - (128 + 39 * r), itemWidth, kItemHeight);
            item->setupItem(name, flagImageName(name));
            myNodeItmes_.push_back(item);
            item->nodeTapBlock = [self](ImageRadioButton* tapped, bool locked) {
                if (self)
                    self->onNodeTapped(tapped, locked);
            };
            item->setTag(kFirstNodeTag + static_cast<int>(i));
            item->setVisible(!name.empty());
            if (!myNodes_.empty())
                applyLock(item, myNodes_, selection);
        }
    }
    if (catalogue.size() > myNodeItmes_.size())
        logNotShown(catalogue.size() - myNodeItmes_.size());
}

void NodePageView::applyLock(ImageRadioButton* item, const std::vector<std::string>& subscribed,
                             const std::string& selection) {
    const std::string& name = item->title();
    if (!contains(subscribed, name)) {
        item->setState(ImageRadioButton::State::locked);
    } else if (!name.empty() && name == selection) {
        item->setState(ImageRadioButton::State::selected);
        lastSelectedItem_ = item;
    } else {
        item->setState(ImageRadioButton::State::selectable);
    }
}

void NodePageView::reloadNodeItems(const std::optional<std::vector<std::string>>& catalogue,
                                   const std::optional<std::vector<std::string>>& subscription) {
    if (!autoRouteBtn_)
        return; // not built yet
    const std::string selection = currentNodeSelection(context_.shared);
    autoRouteBtn_->setState(isAutoRoute(selection) ? ImageRadioButton::State::selected
                                                   : ImageRadioButton::State::selectable);
    if (!catalogue || !subscription)
        return;
    for (size_t i = 0; i < myNodeItmes_.size(); ++i) {
        ImageRadioButton* item = myNodeItmes_[i];
        if (i < catalogue->size()) {
            const std::string& name = (*catalogue)[i];
            item->setVisible(true);
            item->setTitle(name);
            item->setFlagImage(flagImageName(name));
            applyLock(item, *subscription, selection);
        } else {
            item->setVisible(false);
        }
        item->setTag(kFirstNodeTag + static_cast<int>(i));
    }
    if (catalogue->size() > myNodeItmes_.size())
        logNotShown(catalogue->size() - myNodeItmes_.size());
}

void NodePageView::fetchCatalogue() {
    if (!api_)
        api_ = context_.makeApi(HostList::main, this);
    QPointer<NodePageView> self(this);
    api_->fetchNodeNames(
        [self](std::optional<std::vector<std::string>> names, std::optional<std::string> message) {
            if (!self)
                return;
            if (!names || names->empty()) {
                if (message)
                    self->report(std::nullopt, *message);
                return;
            }
            auto catalogue = std::make_shared<std::vector<std::string>>(std::move(*names));
            self->api_->fetchSubscribeNodeList(
                [self, catalogue](std::optional<std::vector<std::string>> subscribed,
                                  std::optional<std::string> failure) {
                    if (!self)
                        return;
                    if ((!subscribed || subscribed->empty()) && failure)
                        self->report(std::nullopt, *failure);
                    platform::postToMain(self, [self, catalogue, subscribed = std::move(subscribed)] {
                        if (self)
                            self->reloadNodeItems(*catalogue, subscribed);
                    });
                });
        });
}

void NodePageView::onTapButtonWithSender(QObject*) {
    clearKeyboardFocus();
}

void NodePageView::onNodeTapped(ImageRadioButton* item, bool locked) {
    if (locked) {
        report(std::nullopt, kLockedMessage);
        return;
    }
    if (lastSelectedItem_ && lastSelectedItem_ != item) {
        platform::consoleLog(kRestoreLabel + std::to_string(lastSelectedItem_->tag()));
        lastSelectedItem_->setState(ImageRadioButton::State::selectable);
    }
    const std::string name = item->title();
    QPointer<ImageRadioButton> tapped(item);
    report(name, "已切换至[" + name + "]线路");
    if (!tapped)
        return;
    platform::consoleLog(kSwitchLabel + std::to_string(tapped->tag()));
    lastSelectedItem_ = tapped;
}

void NodePageView::onAutoRouteTapped() {
    if (lastSelectedItem_ && lastSelectedItem_ != autoRouteBtn_) {
        platform::consoleLog(kRestoreLabel + std::to_string(lastSelectedItem_->tag()));
        lastSelectedItem_->setState(ImageRadioButton::State::selectable);
    }
    QPointer<NodePageView> self(this);
    report(std::string(), std::string("已切换至[") + kAutoRouteTitle + "]");
    if (!self)
        return;
    platform::consoleLog(kSwitchLabel + std::to_string(autoRouteBtn_->tag()));
    lastSelectedItem_ = autoRouteBtn_;
}

void NodePageView::report(const std::optional<std::string>& name, const std::string& message) {
    if (nodeStateChangeBlock)
        nodeStateChangeBlock(name, message);
}

void NodePageView::logNotShown(size_t count) {
    platform::consoleLog("nodes.not-shown: " + std::to_string(count) + " (the page holds " +
                         std::to_string(kItemCount) + ")");
}

} // namespace nimo
