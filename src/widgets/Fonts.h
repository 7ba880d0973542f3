#pragma once

#include <QFont>
#include <QStringList>

namespace nimo {

// Families tried in order, so Chinese texts render with one consistent face wherever a CJK font is
// installed.
QStringList defaultFontFamilies();

// The "system font" of a given point size: sizes in the layouts are points of a 72-per-inch grid,
// which map to Qt pixels one to one.
QFont systemFont(qreal points, bool bold = false);
inline QFont boldSystemFont(qreal points) {
    return systemFont(points, true);
}

} // namespace nimo
