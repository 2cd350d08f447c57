#pragma once

#include <filesystem>
#include <functional>

namespace corvane::platform {

// Shows a file in the desktop's file manager: org.freedesktop.FileManager1.ShowItems with its URI on the
// session bus, else xdg-open on its folder (started directly, never through a shell). Main thread; returns
// at once. `notShown` is called (on the main thread, perhaps later) when no file manager took the file, so
// the caller can say where it is: a folder opened by xdg-open does not point at it, and may not open at all.
namespace Reveal {

void show(const std::filesystem::path& file, std::function<void()> notShown = {});

} // namespace Reveal

} // namespace corvane::platform
