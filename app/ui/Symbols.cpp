#include "app/ui/Symbols.hpp"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QHash>
#include <QImage>
#include <QPainter>
#include <QPixmap>

#include <algorithm>
#include <utility>

namespace corvane::Symbols {
namespace {

constexpr std::pair<std::string_view, const char*> kThemeNames[] = {
    {"cable.connector.horizontal", "network-wired"},
    {"cable.connector", "network-wired-disconnected"},
    {"network", "network-workgroup"},
    {"hourglass", "appointment-soon"},
    {"xmark.octagon", "dialog-error"},
    {"exclamationmark.triangle", "dialog-warning"},
    {"link", "insert-link"},
    {"checkmark.circle", "emblem-ok"},
    {"checkmark.circle.fill", "emblem-default"},
    {"circle", "radio"},
    {"play.rectangle", "media-playback-start"},
    {"play.rectangle.fill", "media-playback-start"},
    {"gearshape", "preferences-system"},
    {"macwindow", "window-new"},
    {"xmark.circle", "window-close"},
    {"arrow.clockwise", "view-refresh"},
    {"arrow.down.circle", "download"},
    {"arrow.down.circle.fill", "software-update-available"},
    {"arrow.triangle.2.circlepath", "view-refresh"},
    {"sparkles", "starred"},
    {"shippingbox", "package-x-generic"},
    {"gamecontroller", "input-gaming"},
    {"gamecontroller.fill", "input-gaming"},
    {"arrow.left.arrow.right", "go-jump"},
    {"keyboard", "input-keyboard"},
    {"folder", "folder"},
    {"info.circle.fill", "dialog-information"},
    {"laptopcomputer", "computer"},
    {"dot.radiowaves.left.and.right", "network-wireless"},
};

QIcon shipped(const char* name) {
    const QString file = QCoreApplication::applicationDirPath() + "/../share/corvane/icons/" + name + ".svg";
    if (QFile::exists(file)) return QIcon(file);
    return {};
}

QIcon dot() {
    QPixmap pixmap(32, 32);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setBrush(Qt::black);
    painter.setPen(Qt::NoPen);
    painter.drawEllipse(QRectF(8, 8, 16, 16));
    return QIcon(pixmap);
}

} // namespace

const char* themeName(std::string_view symbol) {
    for (const auto& [name, theme] : kThemeNames)
        if (name == symbol) return theme;
    return "";
}

namespace {

QIcon lookUp(std::string_view symbol) {
    const char* name = themeName(symbol);
    if (!*name) return dot();
    QIcon result = QIcon::fromTheme(name);
    if (result.isNull()) result = shipped(name);
    return result.isNull() ? dot() : result;
}

} // namespace

QIcon icon(std::string_view symbol) {
    // Theme lookups walk the icon folders; a redraw asks for the same few symbols again.
    static QHash<QString, QIcon> cache;
    const QString key = QString::fromUtf8(symbol.data(), static_cast<qsizetype>(symbol.size()));
    if (const auto found = cache.constFind(key); found != cache.constEnd()) return *found;
    return cache[key] = lookUp(symbol);
}

namespace {

QImage tinted(QImage image, const QColor& tint) {
    image = image.convertToFormat(QImage::Format_ARGB32);
    // A symbol with colours of its own (a theme's full-colour icon) is drawn as it is.
    double darkest = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const QColor c = QColor::fromRgba(image.pixel(x, y));
            if (c.alpha() < 32) continue;
            if (c.hsvSaturationF() > 0.25f && c.valueF() > 0.2f) return image;
            darkest = std::max(darkest, 1.0 - c.lightnessF());
        }
    if (darkest <= 0) darkest = 1;
    // A one-colour symbol: its ink takes the tint and what it draws in white (the check on a filled disc)
    // stays white, so a filled symbol keeps its inner shape.
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const QColor c = QColor::fromRgba(image.pixel(x, y));
            const double ink = std::clamp((1.0 - c.lightnessF()) / darkest, 0.0, 1.0);
            QColor out = QColor::fromRgbF(static_cast<float>(tint.redF() * ink + (1 - ink)),
                                          static_cast<float>(tint.greenF() * ink + (1 - ink)),
                                          static_cast<float>(tint.blueF() * ink + (1 - ink)));
            out.setAlphaF(c.alphaF() * tint.alphaF());
            image.setPixel(x, y, out.rgba());
        }
    return image;
}

} // namespace

QIcon icon(std::string_view symbol, const QColor& tint) {
    static QHash<QString, QIcon> cache;
    const QString key = QString::fromUtf8(symbol.data(), static_cast<qsizetype>(symbol.size())) + '/' + tint.name(QColor::HexArgb);
    if (const auto found = cache.constFind(key); found != cache.constEnd()) return *found;
    QIcon result;
    for (const int size : {16, 32, 64})
        result.addPixmap(QPixmap::fromImage(tinted(icon(symbol).pixmap(size, size).toImage(), tint)));
    return cache[key] = result;
}

QIcon appIcon() {
    static const QIcon app = [] {
        QIcon themed = QIcon::fromTheme("corvane");
        if (!themed.isNull()) return themed;
        const QString file = QCoreApplication::applicationDirPath() + "/../share/icons/hicolor/scalable/apps/corvane.svg";
        return QFile::exists(file) ? QIcon(file) : shipped("corvane");
    }();
    return app;
}

QIcon trayIcon(std::string_view symbol) {
    // Panels are light or dark: the glyph sits white on an accent-coloured plate that stands out on either.
    static QHash<QString, QIcon> cache;
    const QString key = QString::fromUtf8(symbol.data(), static_cast<qsizetype>(symbol.size()));
    if (const auto found = cache.constFind(key); found != cache.constEnd()) return *found;
    QIcon result;
    for (const int size : {16, 22, 24, 32, 48, 64}) {
        QPixmap plate(size, size);
        plate.fill(Qt::transparent);
        QPainter painter(&plate);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(Qt::NoPen);
        painter.setBrush(QColor(0x1f, 0x6f, 0xeb));
        painter.drawRoundedRect(QRectF(0.5, 0.5, size - 1, size - 1), size / 4.0, size / 4.0);
        const int glyph = size * 3 / 4;
        const int at = (size - glyph) / 2;
        painter.drawPixmap(at, at, icon(symbol, Qt::white).pixmap(glyph, glyph));
        painter.end();
        result.addPixmap(plate);
    }
    return cache[key] = result;
}

} // namespace corvane::Symbols
