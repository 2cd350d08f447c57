#pragma once

class QWidget;

namespace corvane {

// Panels laid over the stream picture: the start cover, the capture hint, the performance overlay and the
// transfer panel. The picture is drawn into a native surface of its own that nothing composes with, so a
// panel over it is a native window too, stacked above it: opaque (a window of its own shows nothing of what
// lies beneath), clipped to its rounded outline, and transparent for input, so that clicks and motion go
// straight through to the stream view. Main thread only.
namespace OverlayPanel {

// Makes `panel` (a child of the stream window or of its view) such a panel with corners of `radius` (0:
// square) and raises it above the picture. Called again whenever its size or parent changed; cheap when
// nothing did. Input passes through it to the stream view beneath, whenever its window was made. The
// panel must never have been translucent (WA_TranslucentBackground): put in the stream window it is a
// native window at once, before this is called (the window's children all are, the view being one), and
// one made translucent gets an alpha visual that the window's backing store cannot draw into, so it would
// go on showing the picture's pixels that were there.
void placeOverPicture(QWidget& panel, double radius);

// Keeps `panel` over every other panel in its window, however often they are placed or raised: the capture
// hint, the one line that tells the user how to get the pointer back.
void keepOnTop(QWidget& panel);

// Raises `panel` above its siblings, but under those kept on top. Does nothing when it lies so already (a
// panel placed on every tick restacks nothing), so the panels never trade places back and forth.
void raise(QWidget& panel);

// Fades the panel away over the picture within `seconds`: the stream view beneath draws the panel's look
// fading over the picture, and the panel itself is hidden at once. False, with nothing done, when no shown
// stream view lies beneath it.
bool fadeOverPicture(QWidget& panel, double seconds);

}  // namespace OverlayPanel

}  // namespace corvane
