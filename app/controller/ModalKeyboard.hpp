#pragma once

#include <QObject>

class QWindow;

namespace corvane {

// Keeps the keyboard with the app's modal windows. A click on a window that a modal one blocks makes Qt give
// that window the keyboard itself, past the window manager, and Qt drops every key sent to a blocked window:
// Escape and Return would do nothing while the modal window waits. So when the keyboard goes to a blocked
// window, the modal window that blocks it (the innermost, where modal windows stand on one another) takes it
// back. Only the user moves the keyboard to a window of the app, so nothing here takes it from another
// program. Main thread; one per app.
class ModalKeyboard final : public QObject {
    Q_OBJECT
public:
    explicit ModalKeyboard(QObject* parent = nullptr);

private:
    void takeBack();
};

} // namespace corvane
