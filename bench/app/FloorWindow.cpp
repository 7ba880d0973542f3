// The floor for start -> first painted window: a bare Qt window with a tray icon and 30 labels
// (some Chinese text). scripts/bench runs it and the client the same way: under callgrind, counts
// dumped a fixed time after the window is mapped, then killed.
#include <QApplication>
#include <QGridLayout>
#include <QLabel>
#include <QPainter>
#include <QPixmap>
#include <QSystemTrayIcon>
#include <QWidget>

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

    QWidget window;
    window.resize(920, 580);
    window.setWindowTitle(QStringLiteral("NimoMac"));
    auto* grid = new QGridLayout(&window);
    for (int i = 0; i < 30; ++i)
        grid->addWidget(
            new QLabel(i % 2 ? QStringLiteral("标签 %1 已连接").arg(i) : QStringLiteral("Label %1").arg(i)),
            i / 3, i % 3);
    window.show();
    return app.exec();
}
