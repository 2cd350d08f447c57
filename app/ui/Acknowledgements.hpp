#pragma once

#include <QPointer>
#include <QString>

#include <filesystem>
#include <optional>

class QPlainTextEdit;
class QTextEdit;
class QWidget;

namespace corvane {

// The open-source software this app and the box software use, each with its licence text, in one
// read-only window kept for the whole run. Licence files come from share/corvane/Acknowledgements (and
// its box/ subfolder) of the install folder.
namespace Acknowledgements {

struct Component {
    const char* name;
    const char* use;
    const char* file;
};

inline constexpr Component components[] = {
    {"ENet 1.3.18", "Reliable connection for the stream's control messages", "ENet-LICENSE.txt"},
    {"nanors", "Rebuilding lost video packets (Reed-Solomon)", "nanors-LICENSE.txt"},
    {"libopus 1.5.2", "Decoding the box's sound (Opus)", "libopus-LICENSE.txt"},
};

inline constexpr Component boxComponents[] = {
    {"ENet 1.3.18", "Corvane Host's connection to this Mac", "ENet-LICENSE.txt"},
    {"nanors", "Corvane Host's error correction for video packets", "nanors-LICENSE.txt"},
    {"libopus 1.5.2", "Corvane Host's sound (Opus)", "libopus-LICENSE.txt"},
    {"Virtual Display Driver", "The box's virtual screen, shaped like Corvane's window", "VirtualDisplayDriver-LICENSE.txt"},
    {"ViGEmBus", "Game controllers on the box", "ViGEmBus-LICENSE.txt"},
    {"ViGEmClient", "Corvane Host's connection to the controller driver", "ViGEmClient-LICENSE.txt"},
};

inline constexpr const char* missingLicence = "(License text missing from this copy of Corvane.)";

// The folder the licence files are read from; tests point it elsewhere.
inline std::optional<std::filesystem::path> folderOverride;
std::filesystem::path folder();

// Shows the window, building it on first use; later calls only bring it to the front.
void show();
// The one window, or none before the first show().
QWidget* window();
// The licence text as shown: the file's text trimmed, or the missing-licence line.
QString licence(const std::filesystem::path& file);

} // namespace Acknowledgements

} // namespace corvane
