#pragma once

#include <QCoroTask>

#include <filesystem>
#include <string>

class QWidget;

namespace corvane {

class BoxController;

// One plain-text report for a supporter: this computer, the app, the controller's view of the link, the
// cable interface, the end of the app log and of the last source build's log, and the box's own
// diagnostics. Main thread; every wait (child process, files, the box) happens off it.
namespace Diagnostics {

// Never fails: every failing source becomes a line of text.
QCoro::Task<std::string> report(BoxController& box);

// Builds the report and offers to save it with a file dialog (opened, not run modally); reveals the saved
// file. Returns at once.
void save(BoxController& box, QWidget* parent = nullptr);

// The last `count` pieces of a text split at "\n" (empty pieces kept), read from at most the file's last
// 1 MiB; none when the file cannot be read as a regular file.
std::optional<std::string> tailPieces(const std::filesystem::path& file, int count);

} // namespace Diagnostics

} // namespace corvane
