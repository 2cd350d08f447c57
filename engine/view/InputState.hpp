#pragma once

#include <cstdint>
#include <set>

namespace corvane::stream {

// The stream view's input bookkeeping: what was sent down and not yet up, the pointer's state, and the
// fractions of motion and wheel not yet sent. Main thread only.
struct InputState {
    std::set<std::uint16_t> keysDown;    // Windows virtual keys
    std::set<std::uint8_t> buttonsDown;  // mouse-button raw values
    bool captured = false;
    bool firstClickLogged = false;
    bool macPointerHidden = false;
    double pendingDX = 0;
    double pendingDY = 0;
    double scrollX = 0;
    double scrollY = 0;
};

}  // namespace corvane::stream
