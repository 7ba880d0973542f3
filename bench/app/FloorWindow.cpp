// The floor for start -> first painted window: a bare Qt window with a tray icon and 30 labels
// (some Chinese text), quitting once the window has painted. Same exit rule as the client's
// NIMO_QUIT_AFTER_FIRST_PAINT, so both runs measure the same span under callgrind.
#include <QApplication>
#include <QGridLayout>
#include <QLabel>
#include <QPainter>
#include <QPixmap>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QWidget>

namespace {
class Window : public QWidget {
protected:
    void paintEvent(QPaintEvent* e) override {
        QWidget::paintEvent(e);
        if (!painted_) {
            painted_ = true;
            QTimer::singleShot(0, qApp, &QApplication::quit);
        }
    }

private:
    bool painted_ = false;
};
} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QPixmap iconImage(22, 22);
    iconImage.fill(Qt::transparent);
    {
        QPainter p(&iconImage);
        p.setRenderHint(QPainter::Antialiasing);
        p.setBrush(QColor(40, 120, 220));
        p.drawEllipse(2, 2, 18, 18);
    }
    QSystemTrayIcon tray{QIcon(iconImage)};
    tray.setToolTip(QStringLiteral("NimoMac"));
    tray.show();

    Window window;
    window.resize(920, 600);
    auto* grid = new QGridLayout(&window);
    for (int i = 0; i < 30; ++i)
        grid->addWidget(
            new QLabel(i % 2 ? QStringLiteral("标签 %1 已连接").arg(i) : QStringLiteral("Label %1").arg(i)),
            i / 3, i % 3);
    window.show();
    return app.exec();
}
