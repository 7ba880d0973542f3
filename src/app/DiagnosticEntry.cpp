#include "app/DiagnosticEntry.h"

#include "app/MainViewController.h"

#include <QApplication>
#include <QWidget>

namespace nimo {

std::optional<int> runDiagnosticEntry(QApplication& app) {
    if (!QApplication::arguments().contains(QString::fromLatin1(kDiagnosticOption)))
        return std::nullopt;
    MainViewController controller;
    controller.view()->show();
    return app.exec();
}

} // namespace nimo
