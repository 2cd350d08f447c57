#pragma once

#include <QByteArray>
#include <QImage>
#include <QObject>
#include <QSize>
#include <QStringList>

#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

namespace corvane::platform {

class SelectionReader;

// The desktop's clipboard (the CLIPBOARD selection only; the primary selection is never touched), read and
// written on the main thread, or read from another thread through reader(). The change count grows by one
// with every change Qt reports, our own writes included. While we own the clipboard Qt answers other programs' requests; at quit it hands the content
// to a clipboard manager if one runs.
class Pasteboard final : public QObject {
    Q_OBJECT
public:
    using Bytes = std::vector<std::uint8_t>;

    static constexpr const char* kString = "text/plain;charset=utf-8";
    static constexpr const char* kPNG = "image/png";

    explicit Pasteboard(QObject* parent = nullptr);

    std::int64_t changeCount() const { return changes_; }

    // The types offered now. Asking the owner may wait for Qt's clipboard time-out when it never answers.
    QStringList types() const;
    // Concealed or transient content (password managers mark it), never to be shared.
    bool concealed() const;
    // Copied files: file: URLs, or a file manager's copied-files list.
    bool hasFiles() const;
    // PNG bytes as offered, when at most `limit` bytes.
    std::optional<Bytes> png(std::size_t limit) const;
    // Any other picture the owner offers, decoded under an allocation limit and made PNG; at most `limit`.
    std::optional<Bytes> otherImageAsPNG(std::size_t limit) const;
    // The text, when there is text (of at most `limit` bytes).
    std::optional<std::string> string(std::size_t limit = std::numeric_limits<std::size_t>::max()) const;
    // A reader that asks the same questions from another thread through an X connection of its own, when the
    // clipboard is the X display's; nothing otherwise (then only the questions above can be asked).
    std::unique_ptr<SelectionReader> reader(std::stop_token stop = {}) const;

    // Set once as UTF-8 bytes: pasting never converts the text again.
    void setString(const std::string& text);
    // The PNG bytes as they are, plus `picture` (decoded from them) when there is one.
    void setPNG(const QByteArray& png, const QImage& picture = {});

    // The largest picture taken: 64 megapixels (8192 x 8192; a phone's photo has 48) at 8 bits a channel.
    static constexpr qint64 kMaxPicturePixels = qint64(64) << 20;
    // What PNG bytes gave: the picture, or, when it was left out for its size, that size.
    struct Decoded {
        QImage image;    // null unless decoded
        QSize oversize;  // the size of a picture left out for it; invalid otherwise
    };
    // Decodes PNG bytes into one picture and nothing of its size besides, so one decode allocates at most
    // 4 x `maxPixels` bytes (256 MiB by default). A picture of more than `maxPixels` pixels, or whose pixels
    // take more room than as many at 8 bits a channel would (16 bits a channel), is left out by its header,
    // before anything is decoded. Any thread.
    static Decoded decodedPNG(const QByteArray& png, qint64 maxPixels = kMaxPicturePixels);

private:
    // Asking an owner that never answers costs a time-out per question, so the offered types are asked once
    // per change and data only for a type that is offered.
    bool offers(const QString& type) const { return types().contains(type); }

    std::int64_t changes_ = 0;
    mutable std::int64_t typesAt_ = -1;
    mutable QStringList types_;
};

} // namespace corvane::platform
