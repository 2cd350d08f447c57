#pragma once

#include "app/controller/BoxController.hpp"

namespace corvane {

// One change to the settings as the views make it: a changed copy assigned to the controller. A change to
// what a quality preset decides then falls back to Custom, as a second change, as two edits would make.
template <class Change>
void editSettings(BoxController& box, Change change, bool toCustom = false) {
    StreamSettings settings = box.settings();
    change(settings);
    box.setSettings(settings);
    if (!toCustom) return;
    settings = box.settings();
    settings.quality = StreamSettings::Quality::custom;
    box.setSettings(settings);
}

} // namespace corvane
