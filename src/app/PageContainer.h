#pragma once

#include <QObject>
#include <functional>

class QAbstractButton;
class QWidget;

namespace nimo {

class ImageButton;
class ImageView;
class NodePageView;
class PageHost;
class UserAccountPage;
struct AppContext;

// The second container of the main screen: its toolbar with the highlight behind the current
// button, and the route and account pages, each added on first use and then only hidden or shown.
class PageContainer : public QObject {
    Q_OBJECT
public:
    using TapHandler = std::function<void(QAbstractButton* button)>;

    PageContainer(QWidget* root, const AppContext& context, PageHost& host, double topbarHeight,
                  TapHandler tap);

    void build(int width, int height);
    // The highlight and the fonts for a page index (1 route, 2 import, 3 add, 4 account), with the
    // pages hidden; index 0 does nothing here.
    void selectToolbar(int index);
    // Shows the page, adding it first when it is new. True when it was added just now.
    bool showRoutePage();
    bool showAccountPage();

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

    bool pagerouteLoaded = false;
    bool pageimportLoaded = false;
    bool pageaddLoaded = false;
    bool pageuserLoaded = false;

private:
    ImageButton* lazyToolbarButton(ImageButton*& slot, const char* title, const char* image, int tag);
    void placeInSlot(QWidget* view, int slot);

    QWidget* root_;
    const AppContext& context_;
    PageHost& host_;
    const double topbarHeight_;
    TapHandler tap_;
    int width_ = 0;
    int height_ = 0;
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
};

} // namespace nimo
