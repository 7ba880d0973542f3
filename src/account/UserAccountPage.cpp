#include "account/UserAccountPage.h"

#include "tunnel/AppContext.h"

namespace nimo {

UserAccountPage::UserAccountPage(const AppContext& context, QWidget* parent)
    : UxPageView(parent), context_(context) {}

void UserAccountPage::buildPage() {
    UxPageView::buildPage();
    refresh();
}

void UserAccountPage::refresh() {}

} // namespace nimo
