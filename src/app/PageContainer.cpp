#include "app/PageContainer.h"

#include "account/UserAccountPage.h"
#include "nodes/NodePageView.h"
#include "widgets/ColorHex.h"
#include "widgets/Fonts.h"
#include "widgets/Frames.h"
#include "widgets/ImageButton.h"
#include "widgets/SmallWidgets.h"

namespace nimo {

using Position = ImageButton::ImagePosition;

namespace {
const QColor kToolbarGrey(102, 102, 102); // (0.4, 0.4, 0.4)
constexpr int kSlots = 5;
} // namespace

PageContainer::PageContainer(QWidget* root, const AppContext& context, PageHost& host, double topbarHeight,
                             TapHandler tap)
    : QObject(root), root_(root), context_(context), host_(host), topbarHeight_(topbarHeight),
      tap_(std::move(tap)) {}

void PageContainer::placeInSlot(QWidget* view, int slot) {
    const double slotWidth = width_ / double(kSlots);
    setFrame(view, slot * slotWidth + (slotWidth - 120) / 2, 8, 120, 60);
}

void PageContainer::build(int width, int height) {
    width_ = width;
    height_ = height;
    QWidget* other = otherWorkView();
    setFrame(other, 0, 0, width, height);
    other->hide();
    QWidget* header = otherHeaderView();
    setFrame(header, 0, height - topbarHeight_, width, topbarHeight_);
    auto* headerImage = new ImageView(QStringLiteral("otherwork_toolbar_back@2x.png"), header);
    setFrame(headerImage, 0, 0, width, topbarHeight_);
    placeInSlot(toolbar_btn_back(), 4);
    placeInSlot(toolbar_btn_home(), 0);
    placeInSlot(toolbar_btn_route(), 2);
    placeInSlot(toolbar_btn_user(), 4);
    toolbar_btn_import()->hide();
    toolbar_btn_add()->hide();
    toolbar_btn_user()->setFont(boldSystemFont(12));
    toolbar_btn_back()->lower();
    headerImage->lower();
}

void PageContainer::selectToolbar(int index) {
    if (index <= 0)
        return;
    placeInSlot(toolbar_btn_back(), index == 1 ? 2 : index == 4 ? 4 : index);
    for (ImageButton* button :
         {toolbar_btn_route(), toolbar_btn_import(), toolbar_btn_add(), toolbar_btn_user()})
        button->setFont(systemFont(11));
    if (pagerouteLoaded)
        pageView_route()->hide();
    if (pageuserLoaded)
        pageView_user()->hide();
    if (index == 1)
        toolbar_btn_route()->setFont(boldSystemFont(12));
    else if (index == 4)
        toolbar_btn_user()->setFont(boldSystemFont(12));
}

bool PageContainer::showRoutePage() {
    const bool added = !pagerouteLoaded;
    if (added) {
        setFrame(pageView_route(), QRectF(0, 0, width_, height_ - topbarHeight_));
        pageView_route()->buildPage();
        pagerouteLoaded = true;
    }
    pageView_route()->show();
    return added;
}

bool PageContainer::showAccountPage() {
    const bool added = !pageuserLoaded;
    if (added) {
        setFrame(pageView_user(), QRectF(0, 0, width_, height_ - topbarHeight_));
        pageView_user()->buildPage();
        pageuserLoaded = true;
    } else {
        pageView_user()->refresh();
    }
    pageView_user()->show();
    return added;
}

QWidget* PageContainer::otherWorkView() {
    if (!otherWorkView_) {
        otherWorkView_ = new ColorView(Qt::white, root_);
        otherWorkView_->setObjectName(QStringLiteral("otherWorkView"));
    }
    return otherWorkView_;
}

QWidget* PageContainer::otherHeaderView() {
    if (!otherHeaderView_) {
        otherHeaderView_ = new QWidget(otherWorkView());
        otherHeaderView_->setObjectName(QStringLiteral("otherHeaderView"));
    }
    return otherHeaderView_;
}

ImageView* PageContainer::toolbar_btn_back() {
    if (!toolbar_btn_back_) {
        toolbar_btn_back_ =
            new ImageView(QStringLiteral("otherwork_toolbar_btn_back@2x.png"), otherHeaderView());
        toolbar_btn_back_->setObjectName(QStringLiteral("toolbar_btn_back"));
    }
    return toolbar_btn_back_;
}

ImageButton* PageContainer::lazyToolbarButton(ImageButton*& slot, const char* title, const char* image,
                                              int tag) {
    if (slot)
        return slot;
    auto* button = new ImageButton(QString::fromLatin1(image), Position::ImageAbove, otherHeaderView());
    slot = button;
    button->setObjectName(QStringLiteral("toolbar%1").arg(tag));
    button->setText(QString::fromUtf8(title));
    button->setTag(tag);
    button->setImageSize(QSize(28, 28));
    button->setTitleColor(kToolbarGrey);
    button->setFont(systemFont(12));
    button->setDrawingInsets(QMargins(0, 6, 0, 0));
    tap_(button);
    return button;
}

ImageButton* PageContainer::toolbar_btn_home() {
    return lazyToolbarButton(toolbar_btn_home_, "网络加速", "maintabbar_1_n@2x.png", 2000);
}

ImageButton* PageContainer::toolbar_btn_route() {
    return lazyToolbarButton(toolbar_btn_route_, "线路选择", "maintabbar_2_n@2x.png", 2001);
}

ImageButton* PageContainer::toolbar_btn_import() {
    return lazyToolbarButton(toolbar_btn_import_, "导入配置", "maintabbar_3_n@2x.png", 2002);
}

ImageButton* PageContainer::toolbar_btn_add() {
    return lazyToolbarButton(toolbar_btn_add_, "添加节点", "maintabbar_4_n@2x.png", 2003);
}

ImageButton* PageContainer::toolbar_btn_user() {
    return lazyToolbarButton(toolbar_btn_user_, "会员中心", "maintabbar_5_n@2x.png", 2004);
}

NodePageView* PageContainer::pageView_route() {
    if (!pageView_route_) {
        pageView_route_ = new NodePageView(context_, otherWorkView());
        pageView_route_->setObjectName(QStringLiteral("pageView_route"));
        pageView_route_->setSuperVC(&host_);
        pageView_route_->hide();
    }
    return pageView_route_;
}

UserAccountPage* PageContainer::pageView_user() {
    if (!pageView_user_) {
        pageView_user_ = new UserAccountPage(context_, otherWorkView());
        pageView_user_->setObjectName(QStringLiteral("pageView_user"));
        pageView_user_->setSuperVC(&host_);
        pageView_user_->setAutoFillBackground(true);
        QPalette palette = pageView_user_->palette();
        palette.setColor(QPalette::Window, colorFromHex("#F6F6F6"));
        pageView_user_->setPalette(palette);
        pageView_user_->hide();
    }
    return pageView_user_;
}

} // namespace nimo
