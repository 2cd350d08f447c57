#pragma once

#include <filesystem>

namespace corvane {

// The user's folders on a freedesktop system. Each is read from the environment when asked, so a test can
// move them by setting the XDG variables; nothing is created here.
namespace Folders {

std::filesystem::path home();                // $HOME, or the password database's entry
std::filesystem::path logs();                // $XDG_STATE_HOME/Corvane (~/.local/state/Corvane)
std::filesystem::path applicationSupport();  // $XDG_DATA_HOME/Corvane (~/.local/share/Corvane)
std::filesystem::path downloads();           // XDG_DOWNLOAD_DIR of user-dirs.dirs, else ~/Downloads
std::filesystem::path desktop();             // XDG_DESKTOP_DIR of user-dirs.dirs, else ~/Desktop

} // namespace Folders

} // namespace corvane
