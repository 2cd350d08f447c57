#pragma once

#include <QPointer>
#include <QString>

#include <filesystem>
#include <optional>
#include <vector>

class QWidget;

namespace corvane {

// The open-source software this app and the box software use, each with its licence text, in one
// read-only window kept for the whole run. The app's rows are the libraries the build links, listed at
// build time in share/corvane/Acknowledgements/index.tsv ("name<TAB>use<TAB>file" lines) beside their
// licence texts; the box's rows are fixed, their texts in the box/ subfolder.
namespace Acknowledgements {

struct Component {
    std::string name;
    std::string use;
    std::string file;  // empty: the text comes with the box software, not with this app
};

inline const Component boxComponents[] = {
    {"ENet 1.3.18", "Corvane Host's connection to this computer", "ENet-LICENSE.txt"},
    {"nanors", "Corvane Host's error correction for video packets", ""},
    {"libopus 1.5.2", "Corvane Host's sound (Opus)", "libopus-LICENSE.txt"},
    {"Virtual Display Driver", "The box's virtual screen, shaped like Corvane's window", ""},
    {"ViGEmBus", "Game controllers on the box", ""},
    {"ViGEmClient", "Corvane Host's connection to the controller driver", ""},
};

inline constexpr const char* missingLicence = "(License text missing from this copy of Corvane.)";
inline constexpr const char* onTheBox = "(Its license text is installed with the box software.)";

// The folder the licence files are read from; tests point it elsewhere.
inline std::optional<std::filesystem::path> folderOverride;
std::filesystem::path folder();
// The app's rows as the build listed them; none when the list is missing.
std::vector<Component> components();

// Shows the window, building it on first use; later calls only bring it to the front.
void show();
// The one window, or none before the first show().
QWidget* window();
// The licence text as shown: the file's text trimmed, or the missing-licence line.
QString licence(const std::filesystem::path& file);

} // namespace Acknowledgements

} // namespace corvane
