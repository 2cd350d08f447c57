#pragma once

#include <filesystem>
#include <functional>

namespace corvane {

// Puts a new folder in place of an installed one without ever leaving the place empty: both sit on the same
// file system and are exchanged in one renameat2(RENAME_EXCHANGE); where the file system cannot exchange,
// the old folder is renamed aside, the new one renamed in, and the old one renamed back if that fails.
// Afterwards the old folder's content sits at `replacement`'s path (the caller removes it).
namespace FolderSwap {

// A test may fail the step with this number (1: the exchange or the move aside, 2: the move in) to see the
// rollback; nullptr in the application.
using FailStep = std::function<bool(int step)>;

// Returns false (nothing changed, `installed` still holds the old folder) on any failure.
bool replace(const std::filesystem::path& replacement, const std::filesystem::path& installed,
             const FailStep& failStep = nullptr);

} // namespace FolderSwap

} // namespace corvane
