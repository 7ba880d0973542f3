#include <QApplication>
#include <QWidget>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName("NimoMac");
    QWidget window;
    window.setWindowTitle("NimoMac");
    window.setFixedSize(920, 580);
    window.setWindowFlags(Qt::FramelessWindowHint);
    window.show();
    return app.exec();
}
