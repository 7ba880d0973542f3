#pragma once

#include <QWidget>

class QLabel;

namespace nimo {

class PageHost;

// A page of the main window: a 48-point title strip along the top, the page's content below it.
class UxPageView : public QWidget {
    Q_OBJECT
public:
    static constexpr int kToolbarHeight = 48;

    explicit UxPageView(QWidget* parent = nullptr);

    // The strip: background "#F6F6F6"; made on first use.
    QWidget* toolView();
    // The page title in the strip: empty, system font 14, "#3F3934"; made on first use.
    QLabel* toolbarTitleLabel();

    // The host, which owns the page (it is the page's ancestor), so a plain pointer.
    PageHost* superVC() const { return superVC_; }
    void setSuperVC(PageHost* host) { superVC_ = host; }

    // Set-up; subclasses call the base first, then lay out their content in the lower
    // height() - 48 points.
    virtual void buildPage();

private:
    QWidget* toolView_ = nullptr;
    QLabel* toolbarTitleLabel_ = nullptr;
    PageHost* superVC_ = nullptr;
};

} // namespace nimo
