#pragma once

#include <QWidget>

class QLabel;
class QPushButton;
class QProgressBar;

namespace corvane {

class BoxController;

// The main window ("main"): the product and the connected box, a status card for the controller's phase,
// the four-step checklist and the one action that fits the phase. It keeps no state: every change of the
// controller re-reads it. Closing hides the window while a tray icon shows, else quits.
class MainWindow final : public QWidget {
    Q_OBJECT
public:
    explicit MainWindow(BoxController& box, QWidget* parent = nullptr);

    void showAndActivate();
    bool trayShown() const { return false; }

private:
    void sync();
    void act();

    BoxController& box_;
    QLabel* subtitle_;
    QLabel* badge_;
    QProgressBar* spinner_;
    QLabel* title_;
    QLabel* detail_;
    QLabel* checks_[4];
    QPushButton* action_;
};

} // namespace corvane
