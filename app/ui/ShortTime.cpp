#include "app/ui/ShortTime.hpp"

#include <QDateTime>
#include <QLocale>

namespace corvane {

QString shortTime(std::chrono::system_clock::time_point time) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch()).count();
    return QLocale().toString(QDateTime::fromMSecsSinceEpoch(ms).time(), QLocale::ShortFormat);
}

} // namespace corvane
