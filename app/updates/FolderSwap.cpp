#include "app/updates/FolderSwap.hpp"

#include "app/updates/SmallFile.hpp"

#include <cstdio>
#include <string>
#include <system_error>

#include <unistd.h>

namespace corvane {
namespace {

bool present(const std::filesystem::path& path) {
    std::error_code error;
    return std::filesystem::exists(std::filesystem::symlink_status(path, error));
}

} // namespace

std::optional<std::filesystem::path> FolderSwap::repair(const std::filesystem::path& journal,
                                                        const std::function<bool(const std::filesystem::path&)>& isOurs) {
    const auto text = SmallFile::read(journal, 2 * 4096 + 2);
    if (!text) return std::nullopt;
    std::optional<std::filesystem::path> putBack;
    const auto split = text->find('\0');
    if (split != std::string::npos && text->size() > split + 1 && text->back() == '\0') {
        const std::filesystem::path installed = text->substr(0, split);
        const std::filesystem::path aside = text->substr(split + 1, text->size() - split - 2);
        std::error_code error;
        if (isOurs(aside) && present(installed)) std::filesystem::remove_all(aside, error);
        else if (isOurs(aside) && std::rename(aside.c_str(), installed.c_str()) == 0) putBack = installed;
    }
    ::unlink(journal.c_str());
    return putBack;
}

} // namespace corvane
