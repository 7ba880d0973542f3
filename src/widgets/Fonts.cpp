#include "widgets/Fonts.h"

#include <algorithm>
#include <cmath>

namespace nimo {

QStringList defaultFontFamilies() {
    return {QStringLiteral("Noto Sans CJK SC"),   QStringLiteral("Noto Sans SC"),
            QStringLiteral("Source Han Sans SC"), QStringLiteral("WenQuanYi Micro Hei"),
            QStringLiteral("Noto Sans"),          QStringLiteral("DejaVu Sans"),
            QStringLiteral("sans-serif")};
}

QFont systemFont(qreal points, bool bold) {
    QFont font;
    font.setFamilies(defaultFontFamilies());
    font.setPixelSize(std::max(1, static_cast<int>(std::lround(points))));
    font.setBold(bold);
    return font;
}

} // namespace nimo
