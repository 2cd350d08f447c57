// Panels over the stream picture as an X server makes their windows.
#include "app/window/OverlayPanel.hpp"
#include <QWidget>
#include <QWindow>
#include <gtest/gtest.h>
#include "tests/support/GuiEnvironment.hpp"

namespace corvane {
namespace {

bool passesInputThrough(const QWidget& panel) {
    const QWindow* window = panel.windowHandle();
    return window && window->handle() && window->flags().testFlag(Qt::WindowTransparentForInput);
}

// A panel whose window was made before it was first placed (as the capture hint's is), placed again as its
// size changes and as it goes into another window (as the overlay's follows the stream window), and one
// placed before its window is made: input passes through each, every time.
TEST(OverlayPanelPeer, APanelsWindowPassesInputThroughHoweverOftenItIsPlaced) {
    test::GuiEnvironment::ensure();
    QWidget stream, other;
    for (QWidget* window : {&stream, &other}) {
        window->resize(640, 360);
        window->show();
    }
    auto* panel = new QWidget(&stream);
    panel->setAttribute(Qt::WA_NativeWindow);
    panel->resize(200, 40);
    panel->show();
    ASSERT_NE(panel->windowHandle(), nullptr);
    EXPECT_FALSE(passesInputThrough(*panel));

    OverlayPanel::placeOverPicture(*panel, 8);
    EXPECT_TRUE(passesInputThrough(*panel));
    panel->resize(240, 40);
    OverlayPanel::placeOverPicture(*panel, 8);
    EXPECT_TRUE(passesInputThrough(*panel));

    panel->setParent(&other);
    panel->show();
    EXPECT_TRUE(passesInputThrough(*panel));
    OverlayPanel::placeOverPicture(*panel, 8);
    EXPECT_TRUE(passesInputThrough(*panel));
    OverlayPanel::placeOverPicture(*panel, 0);
    EXPECT_TRUE(passesInputThrough(*panel));

    // Placed before its window is made, in a window not shown yet.
    QWidget later;
    auto* early = new QWidget(&later);
    OverlayPanel::placeOverPicture(*early, 8);
    later.show();
    EXPECT_TRUE(passesInputThrough(*early));
}

}  // namespace
}  // namespace corvane
