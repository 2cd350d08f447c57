#pragma once

#include <filesystem>
#include <functional>
#include <optional>

namespace corvane {

// Puts a new folder in place of an installed one without ever leaving the place empty: both sit on the same
// file system and are exchanged in one renameat2(RENAME_EXCHANGE); where the file system cannot exchange,
// the old folder is renamed aside, the new one renamed in, and the old one renamed back if that fails.
// Afterwards the old folder's content sits at `replacement`'s path (the caller removes it). The slower way
// notes what it does in a journal first, so that a kill between its renames is undone by repair() at the
// next start.
namespace FolderSwap {

// A test may fail the step with this number (0: the exchange, as on a file system without it; 1: the move
// aside; 2: the move in; 3: putting the old folder at the replacement's path) to see the slower way and its
// rollback; nullptr in the application.
using FailStep = std::function<bool(int step)>;

// Returns false (nothing changed, `installed` still holds the old folder) on any failure.
bool replace(const std::filesystem::path& replacement, const std::filesystem::path& installed,
             const FailStep& failStep = nullptr, const std::filesystem::path& journal = {});

// After a swap the journal says was cut short: the kept old folder goes back where no installed folder
// stands, or goes away where the new one already stands; only a folder `isOurs` accepts is moved or
// removed. Then the journal goes. Nothing without a journal. Answers the installed folder when it put one back.
std::optional<std::filesystem::path> repair(const std::filesystem::path& journal,
                                            const std::function<bool(const std::filesystem::path&)>& isOurs);

} // namespace FolderSwap

} // namespace corvane
