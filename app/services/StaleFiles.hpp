#pragma once

#include <filesystem>
#include <functional>
#include <string_view>

namespace corvane {

// Scratch files and folders of ours (a download on its way, an unpacked update) that a process killed at the
// wrong moment leaves behind. The process that uses one holds an exclusive flock on it for as long as it
// does, so one whose lock can be taken belongs to no running instance and may go.
namespace StaleFiles {

// Takes the lock on an open file or folder without waiting; false when another holds it.
bool lock(int fd);
// Removes every entry of `folder` whose name `ours` accepts (names the app makes, matched exactly: the folder
// is the user's too) that this user owns (a file, or a folder with what it holds) and whose lock is free, and
// answers how many went. Links are never followed or removed. Blocking: run it off the main thread.
int sweep(const std::filesystem::path& folder, const std::function<bool(std::string_view name)>& ours);

} // namespace StaleFiles

} // namespace corvane
