#pragma once

#include <QColor>
#include <string_view>

namespace nimo {

// "#RGB", "#RGBA", "#RRGGBB", "#RRGGBBAA" (also with "0x" or no prefix). With 3 or 6 digits the
// alpha is the caller's; any other text gives black with the caller's alpha.
QColor colorFromHex(std::string_view hex, double alpha = 1.0);

} // namespace nimo
