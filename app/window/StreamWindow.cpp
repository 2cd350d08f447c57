#include "app/window/StreamWindow.hpp"

#include <QGuiApplication>
#include <QScreen>

#include <unistd.h>

namespace corvane::StreamWindow {

std::optional<Info> find(std::int64_t pid) {
    if (pid == static_cast<std::int64_t>(::getpid())) return ownWindow ? ownWindow() : std::nullopt;
    return std::nullopt;
}

QRectF screenRect(const QRectF& rect) {
    const auto screens = QGuiApplication::screens();
    const double reference = screens.isEmpty() ? 0 : screens.first()->geometry().height();
    return QRectF(rect.x(), reference - (rect.y() + rect.height()), rect.width(), rect.height());
}

std::string describe(const QRectF& rect) {
    auto number = [](double v) {
        QString text = QString::number(v, 'g', 12);
        return text.toStdString();
    };
    return "{{" + number(rect.x()) + ", " + number(rect.y()) + "}, {" + number(rect.width()) + ", " +
           number(rect.height()) + "}}";
}

}  // namespace corvane::StreamWindow
