#include "widgets/ColorHex.h"

#include <gtest/gtest.h>

using nimo::colorFromHex;

TEST(ColorHex, ParsesEveryLengthAndPrefix) {
    struct Row {
        const char* text;
        double alpha;
        int r, g, b, a; // 0..255
    };
    const Row rows[] = {
        {"#FFF", 0.5, 255, 255, 255, 128},   {"0x000", 1.0, 0, 0, 0, 255},
        {"F008", 1.0, 255, 0, 0, 136},       {"#CACED1", 1.0, 202, 206, 209, 255},
        {"0x10203040", 0.2, 16, 32, 48, 64}, {"#abcdef", 0.0, 171, 205, 239, 0},
        {"#12345", 0.4, 0, 0, 0, 102},       {"", 1.0, 0, 0, 0, 255},
        {"#GGG", 1.0, 0, 0, 0, 255},         {"#", 0.3, 0, 0, 0, 77},
    };
    for (const auto& row : rows) {
        const QColor c = colorFromHex(row.text, row.alpha);
        EXPECT_EQ(c.red(), row.r) << row.text;
        EXPECT_EQ(c.green(), row.g) << row.text;
        EXPECT_EQ(c.blue(), row.b) << row.text;
        EXPECT_EQ(c.alpha(), row.a) << row.text;
    }
}
