#include "app/services/FileName.hpp"

#include <filesystem>

namespace corvane::FileName {
namespace {

// The longest start of `text` of at most `bytes` bytes that does not split a UTF-8 sequence.
std::string utf8Prefix(const std::string& text, std::size_t bytes) {
    if (text.size() <= bytes) return text;
    std::size_t end = bytes;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
    return text.substr(0, end);
}

} // namespace

std::string withSuffix(const std::string& name, const std::string& suffix) {
    const std::filesystem::path asPath(name);
    std::string stem = asPath.stem().string();
    std::string extension = asPath.extension().string();
    const std::size_t room = suffix.size() < kMaxBytes ? kMaxBytes - suffix.size() : 0;
    if (stem.empty() || extension.size() >= room) {
        stem = name;
        extension.clear();
    }
    return utf8Prefix(stem, room - extension.size()) + suffix + extension;
}

std::string fitted(const std::string& name) { return name.size() <= kMaxBytes ? name : withSuffix(name, ""); }

} // namespace corvane::FileName
