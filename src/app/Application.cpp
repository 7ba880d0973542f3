#include "app/Application.h"

#include "widgets/ControlStyle.h"
#include "widgets/EditingShortcuts.h"
#include "widgets/Fonts.h"
#include "widgets/Images.h"

#include <NimoBuildConfig.h>
#include <QApplication>

namespace nimo {

void configureApplication(QApplication& app) {
    QApplication::setApplicationName(QStringLiteral("NimoMac"));
    QApplication::setApplicationVersion(QString::fromLatin1(build::kShortVersion));
    QGuiApplication::setDesktopFileName(QStringLiteral("nimo"));
    QApplication::setWindowIcon(images::icon(images::kAppIcon));
    QApplication::setFont(systemFont(13));
    installEditingShortcuts(&app);
    QApplication::setStyle(new ControlStyle);
}

} // namespace nimo
