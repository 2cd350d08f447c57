#include "platform/pasteboard/Pasteboard.hpp"

#include "platform/pasteboard/SelectionReader.hpp"

#include <QBuffer>
#include <QClipboard>
#include <QGuiApplication>
#include <QImage>
#include <QImageReader>
#include <QMimeData>
#include <QUrl>

namespace corvane::platform {

namespace {

const QMimeData* current() { return QGuiApplication::clipboard()->mimeData(QClipboard::Clipboard); }

// What an image decoder may allocate for one clipboard picture. Qt keeps one such limit for the whole
// process; decodedPNG bounds its picture below it first.
constexpr int kImageAllocationMiB = 512;

} // namespace

Pasteboard::Pasteboard(QObject* parent) : QObject(parent) {
    connect(QGuiApplication::clipboard(), &QClipboard::changed, this, [this](QClipboard::Mode mode) {
        if (mode == QClipboard::Clipboard) ++changes_;
    });
}

QStringList Pasteboard::types() const {
    if (typesAt_ != changes_) {
        const auto* data = current();
        types_ = data ? data->formats() : QStringList();
        typesAt_ = changes_;
    }
    return types_;
}

bool Pasteboard::concealed() const {
    return offers("org.nspasteboard.ConcealedType") || offers("org.nspasteboard.TransientType") ||
           offers("x-kde-passwordManagerHint");
}

bool Pasteboard::hasFiles() const {
    if (offers("x-special/gnome-copied-files")) return true;
    const auto* data = current();
    if (!data || !offers("text/uri-list")) return false;
    const auto urls = data->urls();
    return std::any_of(urls.begin(), urls.end(), [](const QUrl& url) { return url.isLocalFile(); });
}

std::optional<Pasteboard::Bytes> Pasteboard::png(std::size_t limit) const {
    const auto* data = current();
    if (!data || !offers(kPNG)) return std::nullopt;
    const auto bytes = data->data(kPNG);
    if (bytes.isEmpty() || static_cast<std::size_t>(bytes.size()) > limit) return std::nullopt;
    return Bytes(bytes.begin(), bytes.end());
}

std::optional<Pasteboard::Bytes> Pasteboard::otherImageAsPNG(std::size_t limit) const {
    const auto* data = current();
    if (!data) return std::nullopt;
    for (const auto& format : types()) {
        if (!format.startsWith("image/") || format == kPNG) continue;
        if (auto png = SelectionReader::asPNG(data->data(format), limit)) return png;
    }
    return std::nullopt;
}

std::optional<std::string> Pasteboard::string(std::size_t limit) const {
    const auto* data = current();
    const auto offered = types();
    const bool text = std::any_of(offered.begin(), offered.end(), [](const QString& t) { return t.startsWith("text/plain"); });
    if (!data || !text) return std::nullopt;
    auto out = data->text().toStdString();
    if (out.size() > limit) return std::nullopt;
    return out;
}

std::unique_ptr<SelectionReader> Pasteboard::reader(std::stop_token stop) const {
    if (QGuiApplication::platformName() != "xcb") return nullptr;
    return std::make_unique<SelectionReader>(qEnvironmentVariable("DISPLAY").toStdString(), std::move(stop));
}

void Pasteboard::setString(const std::string& text) {
    auto* data = new QMimeData;
    const QByteArray bytes(text.data(), static_cast<qsizetype>(text.size()));
    // Qt offers "text/plain" as UTF8_STRING, STRING and TEXT too, and hands out these bytes as they are.
    data->setData("text/plain", bytes);
    data->setData(kString, bytes);
    QGuiApplication::clipboard()->setMimeData(data, QClipboard::Clipboard);
}

void Pasteboard::setPNG(const QByteArray& png, const QImage& picture) {
    auto* data = new QMimeData;
    if (!picture.isNull()) data->setImageData(picture);
    data->setData(kPNG, png);
    QGuiApplication::clipboard()->setMimeData(data, QClipboard::Clipboard);
}

Pasteboard::Decoded Pasteboard::decodedPNG(const QByteArray& png, qint64 maxPixels) {
    QBuffer buffer;
    buffer.setData(png);
    QImageReader reader(&buffer, "png");
    reader.setAllocationLimit(kImageAllocationMiB);
    const QSize size = reader.size();
    const QImage::Format format = reader.imageFormat();
    if (!size.isValid() || size.isEmpty() || format == QImage::Format_Invalid) return {};
    // The reader decodes straight into the picture's rows, in this format.
    const qint64 rowBytes = (qint64(size.width()) * QImage::toPixelFormat(format).bitsPerPixel() + 31) / 32 * 4;
    if (qint64(size.width()) * size.height() > maxPixels || rowBytes * size.height() > maxPixels * 4) return {{}, size};
    QImage image;
    if (!reader.read(&image)) return {};  // a picture that ends early is not null
    return {std::move(image), {}};
}

} // namespace corvane::platform
