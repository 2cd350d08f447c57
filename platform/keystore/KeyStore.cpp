#include "platform/keystore/KeyStore.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace corvane::platform {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kKeySuffix = ".key.pem";
constexpr std::string_view kCertificateSuffix = ".cert.pem";
constexpr std::string_view kLabelHeader = "Label: ";
constexpr std::string_view kTagHeader = "Application-Tag: ";
constexpr std::string_view kBeginCertificate = "-----BEGIN CERTIFICATE-----";
constexpr std::string_view kEndCertificate = "-----END CERTIFICATE-----";
// Items are a few kilobytes; anything far larger in the folder is not ours and is not read into memory.
constexpr std::uintmax_t kMaxItemSize = 1 << 20;

std::int32_t errnoStatus(int error) { return error > 0 ? -error : -EIO; }

std::string hexOf(ByteView bytes) {
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string out;
    for (const std::uint8_t b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 0x0F];
    }
    return out;
}

// A label goes on one header line: control characters and '%' are written as %XX.
std::string escapeLabel(std::string_view label) {
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string out;
    for (const char c : label) {
        const auto b = static_cast<std::uint8_t>(c);
        if (b < 0x20 || b == 0x7F || c == '%') {
            out += '%';
            out += digits[b >> 4];
            out += digits[b & 0x0F];
        } else {
            out += c;
        }
    }
    return out;
}

bool endsWith(std::string_view text, std::string_view suffix) {
    return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

std::string pemLines(std::string_view base64) {
    std::string out;
    for (std::size_t i = 0; i < base64.size(); i += 64) {
        out.append(base64.substr(i, 64));
        out += '\n';
    }
    return out;
}

// A name that sorts in order of creation: nanoseconds since the epoch, then the process and a counter so
// that two writers never pick the same name.
std::string newItemName(std::string_view suffix) {
    static std::atomic<unsigned> counter{0};
    const auto now = std::chrono::duration_cast<std::chrono::nanoseconds>(
                         std::chrono::system_clock::now().time_since_epoch())
                         .count();
    char stamp[64];
    std::snprintf(stamp, sizeof stamp, "%020lld-%d-%u", static_cast<long long>(now), static_cast<int>(::getpid()),
                  counter.fetch_add(1));
    return std::string(stamp) + std::string(suffix);
}

std::int32_t writeAll(int fd, std::string_view content) {
    while (!content.empty()) {
        const ssize_t n = ::write(fd, content.data(), content.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return errnoStatus(errno);
        }
        content.remove_prefix(static_cast<std::size_t>(n));
    }
    return 0;
}

// Writes the item under a hidden temporary name, flushes it and renames it into place.
std::int32_t writeItem(const fs::path& folder, const std::string& name, std::string_view content) {
    std::error_code ec;
    if (!fs::exists(folder, ec)) {
        fs::create_directories(folder, ec);
        if (ec) return errnoStatus(ec.value());
        fs::permissions(folder, fs::perms::owner_all, ec);
    }
    const fs::path temporary = folder / ("." + name + ".tmp");
    const fs::path final = folder / name;
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) return errnoStatus(errno);
    std::int32_t status = ::fchmod(fd, 0600) == 0 ? 0 : errnoStatus(errno);
    if (status == 0) status = writeAll(fd, content);
    if (status == 0 && ::fsync(fd) != 0) status = errnoStatus(errno);
    if (::close(fd) != 0 && status == 0) status = errnoStatus(errno);
    if (status == 0 && ::rename(temporary.c_str(), final.c_str()) != 0) status = errnoStatus(errno);
    if (status != 0) {
        ::unlink(temporary.c_str());
        return status;
    }
    // Make the rename itself durable.
    const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return 0;
}

struct Item {
    fs::path path;
    std::string text;
};

// The finished items of one kind, oldest first. A missing folder holds no items.
std::int32_t listItems(const fs::path& folder, std::string_view suffix, std::vector<Item>& out) {
    out.clear();
    std::error_code ec;
    fs::directory_iterator it(folder, ec);
    if (ec) return ec == std::errc::no_such_file_or_directory ? 0 : errnoStatus(ec.value());
    std::vector<fs::path> paths;
    for (const fs::directory_iterator end; it != end; it.increment(ec)) {
        if (ec) return errnoStatus(ec.value());
        const std::string name = it->path().filename().string();
        if (name.empty() || name.front() == '.' || !endsWith(name, suffix)) continue;
        paths.push_back(it->path());
    }
    if (ec) return errnoStatus(ec.value());
    std::sort(paths.begin(), paths.end());
    for (const fs::path& path : paths) {
        const auto size = fs::file_size(path, ec);
        if (ec || size > kMaxItemSize) continue;
        std::ifstream file(path, std::ios::binary);
        if (!file) continue;
        std::ostringstream text;
        text << file.rdbuf();
        out.push_back({path, text.str()});
    }
    return 0;
}

std::optional<std::string_view> header(std::string_view text, std::string_view name) {
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        const std::string_view line = text.substr(start, end - start);
        if (line.starts_with("-----")) break;
        if (line.starts_with(name)) return line.substr(name.size());
        start = end + 1;
    }
    return std::nullopt;
}

std::optional<PrivateKey> keyOf(std::string_view text) {
    const std::size_t begin = text.find("-----BEGIN ");
    if (begin == std::string_view::npos) return std::nullopt;
    return PrivateKey::fromPem(text.substr(begin));
}

std::optional<Bytes> certificateOf(std::string_view text) {
    const std::size_t begin = text.find(kBeginCertificate);
    if (begin == std::string_view::npos) return std::nullopt;
    const std::size_t bodyStart = begin + kBeginCertificate.size();
    const std::size_t end = text.find(kEndCertificate, bodyStart);
    if (end == std::string_view::npos) return std::nullopt;
    std::string base64;
    for (const char c : text.substr(bodyStart, end - bodyStart))
        if (c != '\n' && c != '\r') base64 += c;
    return Crypto::base64Decode(base64);
}

std::int32_t removeItem(const fs::path& path) { return ::unlink(path.c_str()) == 0 ? 0 : errnoStatus(errno); }

} // namespace

KeyStore::KeyStore(std::filesystem::path folder) : folder_(std::move(folder)) {}

std::filesystem::path KeyStore::standardFolder() {
    fs::path base;
    const char* dataHome = std::getenv("XDG_DATA_HOME");
    if (dataHome && fs::path(dataHome).is_absolute()) {
        base = dataHome;
    } else {
        const char* home = std::getenv("HOME");
        if (!home || !*home) {
            const passwd* entry = ::getpwuid(::getuid());
            home = entry ? entry->pw_dir : "/";
        }
        base = fs::path(home) / ".local" / "share";
    }
    return base / "Corvane" / "keys";
}

std::int32_t KeyStore::addPrivateKey(const PrivateKey& key, std::string_view label, ByteView applicationTag) {
    if (!key) return -EINVAL;
    std::string content;
    content.append(kLabelHeader).append(escapeLabel(label)).append("\n");
    content.append(kTagHeader).append(hexOf(applicationTag)).append("\n");
    try {
        content.append(key.toPem());
    } catch (const CryptoError&) {
        return -EINVAL;
    }
    return writeItem(folder_, newItemName(kKeySuffix), content);
}

std::int32_t KeyStore::addCertificate(ByteView certificateDER, std::string_view label) {
    if (!Crypto::isCertificate(certificateDER)) return -EINVAL;
    std::vector<Bytes> existing;
    const std::int32_t status = certificates(existing);
    if (status != 0 && status != kItemNotFound) return status;
    for (const Bytes& der : existing)
        if (std::equal(der.begin(), der.end(), certificateDER.begin(), certificateDER.end())) return kDuplicateItem;
    std::string content;
    content.append(kLabelHeader).append(escapeLabel(label)).append("\n");
    content.append(kBeginCertificate).append("\n");
    content.append(pemLines(Crypto::base64Encode(certificateDER)));
    content.append(kEndCertificate).append("\n");
    return writeItem(folder_, newItemName(kCertificateSuffix), content);
}

std::int32_t KeyStore::identities(std::vector<Identity>& out) const {
    out.clear();
    std::vector<Item> certificateItems;
    std::vector<Item> keyItems;
    std::int32_t status = listItems(folder_, kCertificateSuffix, certificateItems);
    if (status == 0) status = listItems(folder_, kKeySuffix, keyItems);
    if (status != 0) return status;
    std::vector<PrivateKey> keys;
    for (const Item& item : keyItems)
        if (auto key = keyOf(item.text)) keys.push_back(std::move(*key));
    for (const Item& item : certificateItems) {
        auto der = certificateOf(item.text);
        if (!der) continue;
        const auto match = std::find_if(keys.begin(), keys.end(),
                                        [&](const PrivateKey& key) { return key.matchesCertificate(*der); });
        if (match != keys.end()) out.push_back({std::move(*der), *match});
    }
    return out.empty() ? kItemNotFound : 0;
}

std::int32_t KeyStore::certificates(std::vector<Bytes>& out) const {
    out.clear();
    std::vector<Item> items;
    if (const std::int32_t status = listItems(folder_, kCertificateSuffix, items); status != 0) return status;
    for (const Item& item : items)
        if (auto der = certificateOf(item.text)) out.push_back(std::move(*der));
    return out.empty() ? kItemNotFound : 0;
}

std::int32_t KeyStore::deleteCertificate(ByteView certificateDER) {
    std::vector<Item> items;
    if (const std::int32_t status = listItems(folder_, kCertificateSuffix, items); status != 0) return status;
    bool found = false;
    for (const Item& item : items) {
        const auto der = certificateOf(item.text);
        if (!der || !std::equal(der->begin(), der->end(), certificateDER.begin(), certificateDER.end())) continue;
        if (const std::int32_t status = removeItem(item.path); status != 0) return status;
        found = true;
    }
    return found ? 0 : kItemNotFound;
}

std::int32_t KeyStore::deleteKeys(ByteView applicationTag) {
    std::vector<Item> items;
    if (const std::int32_t status = listItems(folder_, kKeySuffix, items); status != 0) return status;
    const std::string tag = hexOf(applicationTag);
    bool found = false;
    for (const Item& item : items) {
        if (header(item.text, kTagHeader) != std::optional<std::string_view>(tag)) continue;
        if (const std::int32_t status = removeItem(item.path); status != 0) return status;
        found = true;
    }
    return found ? 0 : kItemNotFound;
}

} // namespace corvane::platform
