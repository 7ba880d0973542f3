#include "nodes/NodePageView.h"

#include "tunnel/AppContext.h"

namespace nimo {

NodePageView::NodePageView(const AppContext& context, QWidget* parent)
    : UxPageView(parent), context_(context) {}

void NodePageView::buildPage() {
    UxPageView::buildPage();
}

} // namespace nimo
