#include "app/ui/CloseKey.hpp"

#include <QKeySequence>
#include <QShortcut>
#include <QWidget>

namespace corvane {

void closeOnCtrlW(QWidget& window) {
    auto* shortcut = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_W), &window);
    shortcut->setContext(Qt::WindowShortcut);
    QObject::connect(shortcut, &QShortcut::activated, &window, &QWidget::close);
}

} // namespace corvane
