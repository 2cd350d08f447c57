#include "app/window/StartView.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <system_error>
#include <vector>

#include <QGraphicsOpacityEffect>
#include <QLabel>
#include <QPainter>
#include <QPropertyAnimation>
#include <QResizeEvent>
#include <QSaveFile>
#include <QTimer>
#include <QVBoxLayout>

#include "app/services/Folders.hpp"
#include "app/window/OverlayPanel.hpp"
#include "platform/video/ColorMatrix.hpp"

namespace corvane {

namespace {

constexpr int snapshotWidth = 480;

// A Y'CbCr picture's samples at a pixel, as fractions of the largest code.
std::array<float, 3> samplesAt(const platform::PixelBuffer& picture, int x, int y) {
    using Format = platform::PixelBuffer::Format;
    const auto at = [&](int plane, int column, int row, int bytes) {
        const auto& p = picture.plane(plane);
        const std::uint8_t* sample = p.data + std::size_t(std::min(row, p.height - 1)) * std::size_t(p.bytesPerRow) +
                                     std::size_t(column) * std::size_t(bytes);
        return bytes == 1 ? int(sample[0]) : int(sample[0] | (sample[1] << 8));
    };
    const int cx = x / 2, cy = y / 2;
    switch (picture.format()) {
    case Format::nv12: return {at(0, x, y, 1) / 255.f, at(1, 2 * cx, cy, 1) / 255.f, at(1, 2 * cx + 1, cy, 1) / 255.f};
    case Format::i420: return {at(0, x, y, 1) / 255.f, at(1, cx, cy, 1) / 255.f, at(2, cx, cy, 1) / 255.f};
    case Format::i444: return {at(0, x, y, 1) / 255.f, at(1, x, y, 1) / 255.f, at(2, x, y, 1) / 255.f};
    case Format::x420:
        return {(at(0, x, y, 2) >> 6) / 1023.f, (at(1, 2 * cx, cy, 2) >> 6) / 1023.f, (at(1, 2 * cx + 1, cy, 2) >> 6) / 1023.f};
    case Format::i010: return {at(0, x, y, 2) / 1023.f, at(1, cx, cy, 2) / 1023.f, at(2, cx, cy, 2) / 1023.f};
    case Format::bgra: break;
    }
    return {0, 0.5f, 0.5f};
}

}  // namespace

StartView::StartView(QWidget* parent, const std::optional<std::string>& boxName, const std::string& message)
    : QWidget(parent) {
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setAutoFillBackground(false);
    if (parent) {
        setGeometry(parent->rect());
        parent->installEventFilter(this);
    }
    if (auto url = snapshotURL()) {
        QImage image;
        if (image.load(QString::fromStdString(url->string()))) background_ = image;
    }
    title_ = new QLabel(this);
    title_->setTextFormat(Qt::PlainText);
    title_->setText(boxName ? QString::fromStdString(*boxName).toUpper() : QStringLiteral("Corvane"));
    QFont titleFont = title_->font();
    titleFont.setPixelSize(22);
    titleFont.setWeight(QFont::DemiBold);
    title_->setFont(titleFont);
    title_->setStyleSheet(QStringLiteral("color: white; background: transparent;"));
    message_ = new QLabel(this);
    message_->setTextFormat(Qt::PlainText);
    message_->setText(QString::fromStdString(message));
    QFont messageFont = message_->font();
    messageFont.setPixelSize(14);
    message_->setFont(messageFont);
    message_->setStyleSheet(QStringLiteral("color: rgba(255, 255, 255, 191); background: transparent;"));

    auto* layout = new QVBoxLayout(this);
    layout->setSpacing(10);
    layout->addStretch(1);
    layout->addSpacing(34);  // the spinner, painted above the title
    layout->addWidget(title_, 0, Qt::AlignHCenter);
    layout->addWidget(message_, 0, Qt::AlignHCenter);
    layout->addStretch(1);

    auto* spin = new QTimer(this);
    connect(spin, &QTimer::timeout, this, [this] {
        spinnerStep_ = (spinnerStep_ + 1) % 12;
        update();
    });
    spin->start(80);
    // Over the picture's own surface: a native panel of its own, square, letting clicks through.
    OverlayPanel::placeOverPicture(*this, 0);
    show();
}

QString StartView::title() const { return title_->text(); }

bool StartView::eventFilter(QObject* watched, QEvent* event) {
    if (watched == parent() && event->type() == QEvent::Resize)
        setGeometry(QRect(QPoint(0, 0), static_cast<QResizeEvent*>(event)->size()));
    return false;
}

void StartView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), Qt::black);
    if (!background_.isNull()) {
        painter.setOpacity(0.45);
        painter.drawImage(rect(), background_);  // stretched to fill, not letter-boxed
        painter.setOpacity(1.0);
    }
    // The spinner: twelve spokes above the title, the newest brightest.
    painter.setRenderHint(QPainter::Antialiasing);
    const QPoint centre(width() / 2, title_->geometry().top() - 10 - 12);
    for (int i = 0; i < 12; ++i) {
        const int age = (spinnerStep_ - i + 12) % 12;
        painter.save();
        painter.translate(centre);
        painter.rotate(i * 30.0);
        painter.setPen(QPen(QColor(255, 255, 255, 255 - age * 18), 2.5, Qt::SolidLine, Qt::RoundCap));
        painter.drawLine(QPointF(0, -6), QPointF(0, -11));
        painter.restore();
    }
}

void StartView::fadeOut() {
    if (fading_) return;
    fading_ = true;
    // Over a stream view the picture fades the cover's look away as it draws; the cover goes at once.
    if (OverlayPanel::fadeOverPicture(*this, 0.35)) {
        deleteLater();
        return;
    }
    auto* effect = new QGraphicsOpacityEffect(this);
    setGraphicsEffect(effect);
    auto* animation = new QPropertyAnimation(effect, "opacity", this);
    animation->setDuration(350);
    animation->setStartValue(1.0);
    animation->setEndValue(0.0);
    connect(animation, &QPropertyAnimation::finished, this, &QObject::deleteLater);
    animation->start();
}

std::optional<std::filesystem::path> StartView::snapshotURL() {
    const std::filesystem::path folder = Folders::applicationSupport();
    if (folder.empty()) return std::nullopt;
    std::error_code ignored;
    std::filesystem::create_directories(folder, ignored);
    return folder / "last-picture.jpg";
}

QImage StartView::snapshotImage(const platform::PixelBuffer& picture) {
    // A picture whose planes could not be had (a conversion that failed) leaves no snapshot.
    if (picture.planeCount() != platform::PixelBuffer::layout(picture.format()).planes) return QImage();
    for (int p = 0; p < picture.planeCount(); ++p)
        if (!picture.plane(p).data) return QImage();
    const int width = std::max(picture.width(), 1);
    const double scale = double(snapshotWidth) / width;
    const int height = std::max(1, static_cast<int>(std::lround(picture.height() * scale)));
    QImage scaled;
    if (picture.format() == platform::PixelBuffer::Format::bgra) {
        const auto& plane = picture.plane(0);
        const QImage source(plane.data, picture.width(), picture.height(), plane.bytesPerRow, QImage::Format_RGB32);
        scaled = source.scaled(snapshotWidth, height, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    } else {
        // Y'CbCr: sample the planes straight into the small picture, with the picture's own matrix and range
        // (an HDR picture's colours come out flat, which a blurred backdrop does not mind).
        const auto matrix = platform::ColorMatrix::of(picture.colorSpace(), platform::PixelBuffer::isTenBit(picture.format()) ? 10 : 8);
        scaled = QImage(snapshotWidth, height, QImage::Format_RGB32);
        for (int y = 0; y < height; ++y) {
            const int sy = std::min(picture.height() - 1, static_cast<int>(y / scale));
            auto* out = reinterpret_cast<QRgb*>(scaled.scanLine(y));
            for (int x = 0; x < snapshotWidth; ++x) {
                const int sx = std::min(picture.width() - 1, static_cast<int>(x / scale));
                const auto [yy, cb, cr] = samplesAt(picture, sx, sy);
                const auto rgb = matrix.apply(yy, cb, cr);
                out[x] = qRgb(int(std::lround(rgb[0] * 255)), int(std::lround(rgb[1] * 255)), int(std::lround(rgb[2] * 255)));
            }
        }
    }
    return blurred(scaled.convertToFormat(QImage::Format_RGB32));
}

QImage StartView::blurred(const QImage& image, double sigma) {
    const int radius = static_cast<int>(std::ceil(sigma * 3));
    std::vector<float> kernel(std::size_t(2 * radius + 1));
    float sum = 0;
    for (int i = -radius; i <= radius; ++i) sum += kernel[std::size_t(i + radius)] = std::exp(-(i * i) / (2 * sigma * sigma));
    for (float& k : kernel) k /= sum;

    const QImage source = image.convertToFormat(QImage::Format_RGB32);
    const int w = source.width();
    const int h = source.height();
    std::vector<float> horizontal(std::size_t(w) * h * 3);
    for (int y = 0; y < h; ++y) {
        const auto* row = reinterpret_cast<const QRgb*>(source.constScanLine(y));
        for (int x = 0; x < w; ++x) {
            float r = 0, g = 0, b = 0;
            for (int i = -radius; i <= radius; ++i) {
                const QRgb p = row[std::clamp(x + i, 0, w - 1)];
                const float k = kernel[std::size_t(i + radius)];
                r += k * qRed(p);
                g += k * qGreen(p);
                b += k * qBlue(p);
            }
            float* out = &horizontal[(std::size_t(y) * w + x) * 3];
            out[0] = r;
            out[1] = g;
            out[2] = b;
        }
    }
    QImage result(w, h, QImage::Format_RGB32);
    for (int y = 0; y < h; ++y) {
        auto* out = reinterpret_cast<QRgb*>(result.scanLine(y));
        for (int x = 0; x < w; ++x) {
            float r = 0, g = 0, b = 0;
            for (int i = -radius; i <= radius; ++i) {
                const float* p = &horizontal[(std::size_t(std::clamp(y + i, 0, h - 1)) * w + x) * 3];
                const float k = kernel[std::size_t(i + radius)];
                r += k * p[0];
                g += k * p[1];
                b += k * p[2];
            }
            out[x] = qRgb(std::clamp(int(r + 0.5f), 0, 255), std::clamp(int(g + 0.5f), 0, 255),
                          std::clamp(int(b + 0.5f), 0, 255));
        }
    }
    return result;
}

void StartView::saveSnapshot(const platform::PixelBuffer& picture) {
    const auto url = snapshotURL();
    if (!url) return;
    const QImage image = snapshotImage(picture);
    if (image.isNull()) return;
    QSaveFile file(QString::fromStdString(url->string()));
    if (!file.open(QIODevice::WriteOnly)) return;
    if (!image.save(&file, "JPEG", 60)) {
        file.cancelWriting();
        return;
    }
    file.commit();
}

}  // namespace corvane
