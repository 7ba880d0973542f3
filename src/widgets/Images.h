#pragma once

#include <QIcon>
#include <QPixmap>
#include <QSize>
#include <QString>
#include <QStringList>

namespace nimo::images {

// The platform's named status dots, looked up like any other image.
inline constexpr const char* NSImageNameStatusAvailable = "NSStatusAvailable";
inline constexpr const char* NSImageNameStatusUnavailable = "NSStatusUnavailable";
// The application icon.
inline constexpr const char* kAppIcon = "nimo";

// The one lookup for every image a screen names. "mainwork_start@2x.png", "mainwork_start.png" and
// "mainwork_start" are the same image; all are drawn as SVG, so every size and scale is sharp.
QString canonicalName(const QString& name);
bool exists(const QString& name);
// The size the image is drawn for, in points; invalid for an unknown name.
QSize naturalSize(const QString& name);
// Rendered at size (the natural size when empty) for devicePixelRatio (the primary screen's when 0).
// An unknown name gives a null pixmap and one console line.
QPixmap pixmap(const QString& name, QSize size = {}, qreal devicePixelRatio = 0);
QIcon icon(const QString& name);
// Every name the lookup knows, sorted.
QStringList names();

} // namespace nimo::images
