#include "app/ui/Shown.hpp"

#include <QObject>
#include <QVariant>

namespace corvane {

bool showsNew(QObject* widget, const QString& what) {
    static constexpr char kShows[] = "_shows";
    if (widget->property(kShows) == QVariant(what)) return false;
    widget->setProperty(kShows, what);
    return true;
}

} // namespace corvane
