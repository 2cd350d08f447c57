#pragma once

#include "platform/core/Error.hpp"

#include <filesystem>
#include <functional>
#include <optional>
#include <string>

namespace corvane {

// Puts a new version of the app in a prefix it is installed in (InstallFolder) so that whatever names the
// prefix's program, the desktop entry and the login item among them, starts a complete app at every moment,
// also when the process is killed between two steps and on file systems without an exchange rename:
//   1. the unpacked version is renamed to <install>/lib/corvane/<new name>;
//   2. a link "../lib/corvane/<new name>/bin/corvane" is made beside the program, in bin/;
//   3. one rename(2) puts that link over bin/corvane (a plain install's program file, or the link to the
//      version before). Until then the old version starts; from then on the new one.
// The version before stays where it is as the way back until tidy() removes it at the next start, with
// whatever a switch cut short left. Nothing else in the prefix is made, changed or removed: other programs'
// files may sit beside the app's. Blocking file work: run it off the main thread.
namespace VersionSwitch {

// Called before each step with its number (1 to 3, and 4 once the switch is done); true fails the step as
// if its call had. Tests fail or kill the process there; nullptr in the application.
using StepHook = std::function<bool(int step)>;

// A step the system refused: the folder it wrote in and the system's reason (errno). what() says which step.
class Failed final : public Error {
public:
    Failed(std::string description, std::filesystem::path folder, int error)
        : Error(std::move(description)), folder(std::move(folder)), error(error) {}
    std::filesystem::path folder;
    int error;
};

// The folder an update unpacks into: <install>/lib/corvane, made (with lib/) when missing, so that the
// unpacked version sits on the install's file system; lib may link to a folder beside it (libFolder). Throws
// Failed naming the folder that cannot be made or is not a real folder of this user.
std::filesystem::path versionsOf(const std::filesystem::path& install);

// Switches `install` (a current InstallFolder) to the version at `app` (an install folder of ours inside
// versionsOf(install)). Throws Failed naming the folder it could not write in (lib/corvane or bin) when it
// cannot: the install folder then starts the version before, `app` stays where it was, and nothing else is left.
void install(const std::filesystem::path& app, const std::filesystem::path& install, const StepHook& step = nullptr);

// Removes from a prefix the app is installed in what its current version does not use, and only what updates
// or the app's install put there: the other versions in lib/corvane/ and an earlier release's .versions/ (an
// earlier one, or one a switch cut short before its link went in), unpack folders no process holds, links a
// switch left in bin/, and, once the prefix starts a version, the share/corvane/ its plain install held when
// that holds nothing else. A folder is renamed to a name of the tidy-up's own before it is removed, so that what
// a kill cuts short the next tidy-up finishes. Answers how many entries went.
int tidy(const std::filesystem::path& install, const std::string& identifier);

// The journal naming the install folder an update changes, so that the next start tidies it even when it
// runs from elsewhere (a build tree). Written before the update makes anything; tidy-up removes it.
// False when it cannot be written (the update goes on: a start from the install folder tidies it too).
bool remember(const std::filesystem::path& journal, const std::filesystem::path& install);
std::optional<std::filesystem::path> remembered(const std::filesystem::path& journal);

} // namespace VersionSwitch

} // namespace corvane
