#pragma once

#include "app/ui/Look.hpp"

#include <QFrame>

namespace corvane {

// A rounded panel behind a group of rows (checklist, load, banner rows, the software list). Its backdrop
// is painted from the palette of the moment, so it and everything on it follow light and dark.
class Card : public QFrame {
public:
    explicit Card(Look::Fill fill = Look::Fill::card, bool border = false, QWidget* parent = nullptr);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    Look::Fill fill_;
    bool border_;
};

} // namespace corvane
