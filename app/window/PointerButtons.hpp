#pragma once

namespace corvane {

// Whether a pointer button is held down now, as the X server knows it (whoever grabbed the pointer: a window
// manager moving or resizing a frame holds it). False off X11. Main thread only.
namespace PointerButtons {

bool held();

}  // namespace PointerButtons

}  // namespace corvane
