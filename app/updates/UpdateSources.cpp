// The two places a newer application comes from (the update feed and a source folder), how versions
// compare, the release notes of one version, and the build script's progress lines.
#include "app/updates/UpdateManager.hpp"

#include "app/services/OnPool.hpp"
#include "app/updates/SmallFile.hpp"
#include "platform/http/Http.hpp"

#include <QChar>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <charconv>
#include <cmath>
#include <limits>

#include <nlohmann/json.hpp>

namespace corvane {
namespace {

constexpr std::size_t kMaxVersionFileBytes = 4096;
constexpr std::size_t kMaxChangelogBytes = 4u << 20;

// Only http and https URLs with a host are fetched: a file: or ftp: feed would read or send what it should not.
bool isWebURL(const std::string& text) {
    const QUrl url(QString::fromStdString(text), QUrl::StrictMode);
    const QString scheme = url.scheme().toLower();
    return url.isValid() && (scheme == "http" || scheme == "https") && !url.host().isEmpty();
}

// One piece of a version: its numeric characters read as a 64-bit number; 0 when there are none, when it
// does not fit, or when a numeric character is not one of the ASCII digits.
std::int64_t pieceValue(const std::string& piece) {
    std::string digits;
    const QString text = QString::fromStdString(piece);
    for (const char32_t c : text.toUcs4()) {
        if (c >= '0' && c <= '9') {
            digits.push_back(static_cast<char>(c));
        } else if (QChar::isNumber(c)) {
            return 0;
        }
    }
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (digits.empty() || error != std::errc() || end != digits.data() + digits.size()) return 0;
    return value;
}

std::vector<std::int64_t> partsOf(const std::string& version) {
    std::vector<std::int64_t> parts;
    std::size_t start = 0;
    while (start <= version.size()) {
        auto dot = version.find('.', start);
        if (dot == std::string::npos) dot = version.size();
        if (dot > start) parts.push_back(pieceValue(version.substr(start, dot - start)));
        start = dot + 1;
    }
    return parts;
}

std::string trimmed(const std::string& text, const char* set) {
    const auto first = text.find_first_not_of(set);
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(set) - first + 1);
}

// A whole piece as a number: decimal or exponent notation with an optional sign, nothing around it.
std::optional<double> number(std::string_view text) {
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty() || text.front() == '+') return {};
    double value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || !std::isfinite(value)) return {};
    return value;
}

} // namespace

bool UpdateManager::isNewer(const std::string& version, const std::string& other) {
    const auto a = partsOf(version);
    const auto b = partsOf(other);
    for (std::size_t i = 0; i < std::max(a.size(), b.size()); ++i) {
        const std::int64_t x = i < a.size() ? a[i] : 0;
        const std::int64_t y = i < b.size() ? b[i] : 0;
        if (x != y) return x > y;
    }
    return false;
}

std::optional<std::string> UpdateManager::notes(const std::string& version, const std::optional<std::string>& changelog) {
    if (!changelog) return std::nullopt;
    std::vector<std::string> lines;
    std::string line;
    for (const char c : *changelog) {
        if (c == '\n' || c == '\r' || c == '\v' || c == '\f') {
            lines.push_back(std::move(line));
            line.clear();
        } else {
            line.push_back(c);
        }
    }
    lines.push_back(std::move(line));

    bool inside = false;
    std::string out;
    bool any = false;
    for (const auto& current : lines) {
        if (current.starts_with("## ")) {
            if (inside) break;
            inside = trimmed(current.substr(3), " \t").starts_with(version);
            continue;
        }
        if (!inside) continue;
        const std::string text = trimmed(current, " \t");
        if (text.empty()) continue;
        if (any) out += "\n";
        out += text;
        any = true;
    }
    if (!any) return std::nullopt;
    return out;
}

std::optional<double> UpdateManager::buildProgress(const std::string& line) {
    if (line.starts_with("==> Compiling")) return 0.03;
    if (line.starts_with("==> Assembling")) return 0.88;
    if (line.starts_with("==> Signing")) return 0.95;
    if (line.starts_with("Built: ")) return 1.0;
    if (!line.starts_with("[")) return std::nullopt;
    const auto close = line.find(']');
    if (close == std::string::npos) return std::nullopt;
    const std::string_view inner = std::string_view(line).substr(1, close - 1);
    std::vector<std::string_view> pieces;
    std::size_t start = 0;
    while (start <= inner.size()) {
        auto slash = inner.find('/', start);
        if (slash == std::string_view::npos) slash = inner.size();
        if (slash > start) pieces.push_back(inner.substr(start, slash - start));
        start = slash + 1;
    }
    if (pieces.size() != 2) return std::nullopt;
    const auto done = number(pieces[0]);
    const auto total = number(pieces[1]);
    if (!done || !total || !(*total > 0)) return std::nullopt;
    const double value = std::min(*done / *total, 1.0) * 0.8 + 0.05;
    if (!std::isfinite(value)) return std::nullopt;
    return value;
}

std::optional<UpdateManager::AppUpdate> UpdateManager::fetchFeed(const std::string& url, std::stop_token stop,
                                                               const platform::Http::Transport& transport) {
    if (!isWebURL(url)) return std::nullopt;
    platform::HttpRequest request;
    request.url = url;
    request.followRedirects = true;
    request.timeoutSeconds = kFeedSeconds;
    request.maxBodyBytes = kMaxFeedBytes;
    platform::HttpResponse response;
    try {
        response = platform::Http::perform(transport, request, stop);
    } catch (const std::exception&) {
        return std::nullopt;
    }
    // The status is not looked at: a server may answer a valid feed with an error status.
    const auto json = nlohmann::json::parse(response.body.begin(), response.body.end(), nullptr, false);
    if (json.is_discarded() || !json.is_object()) return std::nullopt;
    const auto text = [&](const char* key, bool required) -> std::optional<std::optional<std::string>> {
        const auto found = json.find(key);
        if (found == json.end() || found->is_null()) {
            if (required) return std::nullopt;
            return std::optional<std::string>();
        }
        if (!found->is_string()) return std::nullopt;
        return std::optional<std::string>(found->get<std::string>());
    };
    const auto version = text("version", true);
    const auto link = text("url", true);
    const auto notes = text("notes", false);
    const auto sha256 = text("sha256", false);
    if (!version || !link || !notes || !sha256 || !isWebURL(**link)) return std::nullopt;
    return AppUpdate{**version, *notes, {AppUpdate::Source::Kind::download, **link, *sha256}};
}

std::optional<UpdateManager::AppUpdate> UpdateManager::readSourceFolder(const std::filesystem::path& folder,
                                                                      const std::string& current) {
    const auto file = SmallFile::read(folder / "VERSION", kMaxVersionFileBytes);
    if (!file) return std::nullopt;
    const std::string version = trimmed(*file, " \t\r\n\v\f");
    if (!isNewer(version, current)) return std::nullopt;
    const auto changelog = SmallFile::read(folder / "CHANGELOG.md", kMaxChangelogBytes);
    return AppUpdate{version, notes(version, changelog), {AppUpdate::Source::Kind::sourceFolder, folder.string(), {}}};
}

QCoro::Task<std::optional<UpdateManager::AppUpdate>> UpdateManager::findAppUpdate() {
    QPointer<UpdateManager> self(this);
    const std::string current = info_.version;
    if (!info_.updateFeedURL.empty() && isWebURL(info_.updateFeedURL)) {
        auto fetching = onPool(pool_, stop_.get_token(),
                                       [url = info_.updateFeedURL](std::stop_token stop) { return fetchFeed(url, stop); });
        auto feed = co_await fetching;
        if (!self) co_return std::nullopt;
        if (feed && isNewer(feed->version, current)) co_return feed;
    }
    if (info_.sourceDir.empty()) co_return std::nullopt;
    auto reading = onPool(pool_, stop_.get_token(), [folder = std::filesystem::path(info_.sourceDir), current](
                                                               std::stop_token) { return readSourceFolder(folder, current); });
    co_return co_await reading;
}

std::optional<std::string> UpdateManager::boxSetupURL() const {
    const std::string& feed = info_.updateFeedURL;
    if (!feed.starts_with("https://")) return std::nullopt;
    const QUrl url(QString::fromStdString(feed), QUrl::StrictMode);
    if (!url.isValid() || url.host().isEmpty()) return std::nullopt;
    QStringList segments = url.path(QUrl::FullyEncoded).split('/', Qt::SkipEmptyParts);
    // The page sits two levels above the feed; a feed near the root puts it at the root, never above.
    for (int i = 0; i < 2 && !segments.isEmpty(); ++i) segments.removeLast();
    segments.append("box");
    QUrl page;
    page.setScheme("https");
    page.setHost(url.host());
    page.setPort(url.port());
    page.setPath("/" + segments.join('/') + "/", QUrl::TolerantMode);
    return page.toString(QUrl::FullyEncoded).toStdString();
}

} // namespace corvane
