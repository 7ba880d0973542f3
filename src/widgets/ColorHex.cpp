#include "widgets/ColorHex.h"

#include <algorithm>
#include <string>
#include <vector>

namespace nimo {

namespace {
int hexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}
} // namespace

QColor colorFromHex(std::string_view hex, double alpha) {
    if (hex.starts_with('#'))
        hex.remove_prefix(1);
    else if (hex.starts_with("0x") || hex.starts_with("0X"))
        hex.remove_prefix(2);
    const double a = std::clamp(alpha, 0.0, 1.0);
    const QColor black = QColor::fromRgbF(0, 0, 0, static_cast<float>(a));
    std::vector<int> d;
    for (char c : hex) {
        const int v = hexDigit(c);
        if (v < 0)
            return black;
        d.push_back(v);
    }
    auto nibble = [&](size_t i) { return d[i] / 15.0; };
    auto byte = [&](size_t i) { return (d[i] * 16 + d[i + 1]) / 255.0; };
    switch (d.size()) {
    case 3:
        return QColor::fromRgbF(nibble(0), nibble(1), nibble(2), a);
    case 4:
        return QColor::fromRgbF(nibble(0), nibble(1), nibble(2), nibble(3));
    case 6:
        return QColor::fromRgbF(byte(0), byte(2), byte(4), a);
    case 8:
        return QColor::fromRgbF(byte(0), byte(2), byte(4), byte(6));
    default:
        return black;
    }
}

} // namespace nimo
