#pragma once

#include <filesystem>
#include <functional>
#include <optional>

namespace corvane {

// The journal of the folder swap earlier versions made ("<installed>\0<aside>\0"): where the file system
// could not exchange two folders, they renamed the installed folder aside and the new one in, and a kill in
// between left no installed folder. Updates now switch a link instead (VersionSwitch); this repairs what an
// earlier version left.
namespace FolderSwap {

// The kept old folder goes back where no installed folder stands, or goes away where the new one already
// stands; only a folder `isOurs` accepts is moved or removed. Then the journal goes. Nothing without a
// journal. Answers the installed folder when it put one back.
std::optional<std::filesystem::path> repair(const std::filesystem::path& journal,
                                            const std::function<bool(const std::filesystem::path&)>& isOurs);

} // namespace FolderSwap

} // namespace corvane
