#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <ctime>
#include <string>

#include "harness.h"
#include "support.h"

namespace vorn::test {
namespace {

constexpr unsigned kBackground = 0x000000;
constexpr unsigned kReflection = 0xCFCFFF;
constexpr unsigned kShadow = 0x4F4FFF;
constexpr unsigned kTextColor = 0x00FF00;

// True when some pixel of `rgb` lies in the rectangle [x0, x1] x [y0, y1].
bool any_pixel(gdImagePtr im, int x0, int y0, int x1, int y1, unsigned rgb) {
    for (int y = y0; y <= y1; ++y) {
        for (int x = x0; x <= x1; ++x) {
            if (rgb_at(im, x, y) == rgb) return true;
        }
    }
    return false;
}

TEST(support_drawerror, SizePaletteFramesAndText) {
    GdImage im = _support_drawerror("Unknown mode ('x')");
    ASSERT_NE(im, nullptr);
    gdImagePtr p = im.get();
    const int w = 6 * 18 + 12;
    ASSERT_EQ(gdImageSX(p), w);
    ASSERT_EQ(gdImageSY(p), 21);

    ASSERT_EQ(gdImageColorsTotal(p), 4);
    const unsigned palette[] = {kBackground, kReflection, kShadow, kTextColor};
    for (int i = 0; i < 4; ++i) {
        unsigned rgb = (unsigned(gdImageRed(p, i)) << 16) | (unsigned(gdImageGreen(p, i)) << 8) |
                       unsigned(gdImageBlue(p, i));
        EXPECT_EQ(rgb, palette[i]) << "palette index " << i;
    }

    EXPECT_EQ(rgb_at(p, 0, 0), kReflection);
    EXPECT_EQ(rgb_at(p, w - 1, 0), kShadow);
    EXPECT_EQ(rgb_at(p, 0, 20), kShadow);
    EXPECT_EQ(rgb_at(p, w - 1, 20), kShadow);
    EXPECT_EQ(rgb_at(p, 2, 2), kShadow);
    EXPECT_EQ(rgb_at(p, w - 3, 2), kReflection);
    EXPECT_EQ(rgb_at(p, 2, 18), kReflection);
    EXPECT_EQ(rgb_at(p, w - 3, 18), kReflection);
    // The gap between the two frames stays background.
    for (int x = 1; x <= w - 2; ++x) {
        EXPECT_EQ(rgb_at(p, x, 1), kBackground) << x;
        EXPECT_EQ(rgb_at(p, x, 19), kBackground) << x;
    }
    for (int y = 1; y <= 19; ++y) {
        EXPECT_EQ(rgb_at(p, 1, y), kBackground) << y;
        EXPECT_EQ(rgb_at(p, w - 2, y), kBackground) << y;
    }

    // Text only from column 6 on, rows 4 to 16.
    EXPECT_TRUE(any_pixel(p, 6, 4, 11, 16, kTextColor));
    EXPECT_FALSE(any_pixel(p, 3, 3, 5, 17, kTextColor));
    EXPECT_FALSE(any_pixel(p, 3, 3, w - 4, 3, kTextColor));
    EXPECT_FALSE(any_pixel(p, 3, 17, w - 4, 17, kTextColor));
}

TEST(support_drawerror, EmptyMessageHoldsOnlyTheFrames) {
    GdImage im = _support_drawerror("");
    ASSERT_NE(im, nullptr);
    EXPECT_EQ(gdImageSX(im.get()), 12);
    EXPECT_EQ(gdImageSY(im.get()), 21);
    EXPECT_FALSE(any_pixel(im.get(), 0, 0, 11, 20, kTextColor));
}

TEST(support_drawerror, LongMessageIsCutTo1019Characters) {
    GdImage im = _support_drawerror(std::string(5000, 'x'));
    ASSERT_NE(im, nullptr);
    EXPECT_EQ(gdImageSX(im.get()), 6 * 1019 + 12);
}

}  // namespace
}  // namespace vorn::test
