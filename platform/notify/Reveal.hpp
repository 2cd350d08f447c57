#pragma once

#include <filesystem>

namespace corvane::platform {

// Shows a file in the desktop's file manager: org.freedesktop.FileManager1.ShowItems with its URI on the
// session bus, else xdg-open on its folder (started directly, never through a shell). Main thread; returns
// at once.
namespace Reveal {

void show(const std::filesystem::path& file);

} // namespace Reveal

} // namespace corvane::platform
