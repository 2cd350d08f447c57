#include "app/window/StreamShape.hpp"
#include <gtest/gtest.h>

namespace corvane {
namespace {

using Pixels = StreamSettings::Pixels;

TEST(StreamShapeTest, WindowOpensAtMostAtEightyFivePercentOfTheScreen) {
    struct Row { Pixels stream; std::optional<QSizeF> visible; QSize content; };
    const Row rows[] = {
        {{1920, 1080}, std::nullopt, QSize(1632, 918)},         // no screen: the stream stands in
        {{1440, 2560}, QSizeF(1440, 900), QSize(430, 765)},     // set by the height
        {{2560, 1440}, QSizeF(1440, 900), QSize(1224, 689)},    // set by the width; 688.5 rounds up
        {{1920, 1080}, QSizeF(3000, 2000), QSize(1920, 1080)},  // never enlarged
    };
    for (const Row& row : rows) EXPECT_EQ(StreamShape::contentSize(row.stream, row.visible), row.content);
}

TEST(StreamShapeTest, TheTwelveReadySizesOfTheDefaultArea) {
    const std::array<Pixels, 12> expected{{{1080, 1920}, {1176, 1760}, {1248, 1664}, {1288, 1608}, {1440, 1440},
                                           {1608, 1288}, {1664, 1248}, {1760, 1176}, {1824, 1136}, {1920, 1080},
                                           {2040, 1016}, {2200, 944}}};
    EXPECT_EQ(StreamShape::readySizes(2073600), expected);
}

TEST(StreamShapeTest, WindowShapeGivesTheStreamSize) {
    struct Row { const char* name; double width, height; int area; Pixels base; Pixels expected; };
    const Pixels current{1920, 1080};
    const Row rows[] = {
        {"worked example 1100x700 -> 8:5", 1100, 700, 2073600, {1920, 1080}, {1824, 1136}},
        {"16:9 window keeps the hd base", 1600, 900, 2073600, {1920, 1080}, {1920, 1080}},
        {"16:9 window keeps the qhd base", 1600, 900, 3686400, {2560, 1440}, {2560, 1440}},
        {"16:9 window on a 3024x1964 screen", 1600, 900, 3024 * 1964, {3024, 1964}, {3248, 1824}},
        {"7:3 at 5120x2880 stops at 4096 wide", 2100, 900, 5120 * 2880, {5120, 2880}, {4096, 1752}},
        {"50 pt high is too small", 800, 50, 2073600, {1920, 1080}, current},
        {"square", 700, 700, 640 * 360, {640, 360}, {480, 480}},
        {"a tiny area is held at 64", 900, 900, 100, {10, 10}, {64, 64}},
    };
    for (const Row& row : rows)
        EXPECT_EQ(StreamShape::sizeMatching(row.width, row.height, current, row.area, row.base), row.expected) << row.name;
}

TEST(StreamShapeTest, CloseEnoughIsSixteenPixelsBothWaysAndTheNearestAspectIsByRatio) {
    const std::pair<Pixels, bool> rows[] = {{{1936, 1096}, true}, {{1904, 1064}, true}, {{1937, 1080}, false}, {{1920, 1063}, false}};
    for (const auto& [target, close] : rows)
        EXPECT_EQ(StreamShape::closeEnough(target, {1920, 1080}), close) << target.width << "x" << target.height;
    EXPECT_DOUBLE_EQ(StreamShape::nearestAspect(1000, 1900), 9.0 / 16);
    EXPECT_DOUBLE_EQ(StreamShape::nearestAspect(1412, 1000), 4.0 / 3);  // just below the halfway point
    EXPECT_DOUBLE_EQ(StreamShape::nearestAspect(1416, 1000), 3.0 / 2);
    EXPECT_DOUBLE_EQ(StreamShape::nearestAspect(5000, 1000), 7.0 / 3);
}

}  // namespace
}  // namespace corvane
