#pragma once

#include <QString>

class QObject;

namespace corvane {

// Views re-read their models on every change signal; a widget is set again only when what it shows
// differs, so a value that stayed the same repaints nothing. The record lives on the widget itself.
// Returns whether `what` differs from what `widget` shows (and records it).
bool showsNew(QObject* widget, const QString& what);

} // namespace corvane
