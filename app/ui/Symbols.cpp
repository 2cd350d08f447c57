#include "app/ui/Symbols.hpp"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QHash>
#include <QPainter>
#include <QPixmap>

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

QIcon icon(std::string_view symbol, const QColor& tint) {
    static QHash<QString, QIcon> cache;
    const QString key = QString::fromUtf8(symbol.data(), static_cast<qsizetype>(symbol.size())) + '/' + tint.name(QColor::HexArgb);
    if (const auto found = cache.constFind(key); found != cache.constEnd()) return *found;
    QPixmap pixmap = icon(symbol).pixmap(64, 64);
    QPainter painter(&pixmap);
    painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
    painter.fillRect(pixmap.rect(), tint);
    painter.end();
    return cache[key] = QIcon(pixmap);
}

} // namespace corvane::Symbols
