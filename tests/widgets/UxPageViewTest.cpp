#include "widgets/UxPageView.h"

#include "widgets/ColorHex.h"
#include "widgets/Frames.h"
#include "widgets/PageHost.h"

#include <QLabel>
#include <gtest/gtest.h>

using namespace nimo;

namespace {
struct Host : PageHost {
    QStringList toasts;
    void showToast(const QString& text) override { toasts << text; }
    void refreshTitleStrip(bool) override {}
};

class TitledPage : public UxPageView {
public:
    using UxPageView::UxPageView;
    QWidget* content = nullptr;
    void buildPage() override {
        UxPageView::buildPage();
        toolbarTitleLabel()->setText(QStringLiteral("基本信息"));
        content = new QWidget(this);
        setFrame(content, 0, 0, width(), height() - kToolbarHeight);
    }
};
} // namespace

TEST(UxPageView, BuildsTheTitleStripAlongTheTop) {
    Host host;
    QWidget window;
    window.resize(920, 580);
    TitledPage page(&window);
    page.setGeometry(0, 128, 920, 580 - 128);
    page.setSuperVC(&host);
    page.buildPage();

    EXPECT_EQ(frameOf(page.toolView()), QRectF(0, 404, 920, 48));
    EXPECT_EQ(page.toolView()->geometry(), QRect(0, 0, 920, 48));
    auto* accent = page.toolView()->findChild<QWidget*>(QStringLiteral("toolAccent"));
    ASSERT_NE(accent, nullptr);
    EXPECT_EQ(frameOf(accent), QRectF(21, 11, 2, 15));
    EXPECT_EQ(frameOf(page.toolbarTitleLabel()), QRectF(34, 11, 300, 16));
    EXPECT_EQ(page.toolbarTitleLabel()->parentWidget(), page.toolView());
    EXPECT_EQ(page.toolbarTitleLabel()->font().pixelSize(), 14);
    EXPECT_EQ(page.toolbarTitleLabel()->palette().color(QPalette::WindowText), colorFromHex("#3F3934"));
    EXPECT_EQ(frameOf(page.content), QRectF(0, 0, 920, 404));

    // The strip paints "#F6F6F6", the bar "#558EE8".
    const QImage image = page.grab().toImage();
    EXPECT_EQ(image.pixelColor(500, 5), colorFromHex("#F6F6F6"));
    EXPECT_EQ(image.pixelColor(21, 48 - 11 - 8), colorFromHex("#558EE8"));

    page.superVC()->showToast(QStringLiteral("hello"));
    EXPECT_EQ(host.toasts, QStringList{QStringLiteral("hello")});
}
