#pragma once

#include <QAbstractNativeEventFilter>
#include <QObject>
#include <QPointer>

#include <vector>

class QWidget;
class QWindow;

namespace corvane {

// Keeps the keyboard with the app's modal windows, and the stream window's keyboard with Windows.
//
// A click on a window that a modal one blocks makes Qt give that window the keyboard itself, past the window
// manager, and Qt drops every key sent to a blocked window: Escape and Return would do nothing while the modal
// window waits. So when the keyboard goes to a blocked window, the modal window that blocks it (the innermost,
// where modal windows stand on one another) takes it back. The X server's word counts: Qt reports no focus where it
// hands it on to the window a blocked one stands under, and a hidden one never takes it. Only the user moves the
// keyboard to a window of the app, so nothing here takes it from another program.
//
// A modal window blocks the windows it stands under and those standing under the same ones (its family). While a
// modal window of the main window shows, the app's other windows stand under the main window too; the stream
// window stands apart, so no question of the app blocks it. A dialog that Qt runs itself (exec) it makes modal to
// every window, the stream window among them: Qt would drop the keys typed there and hand the dialog the keyboard
// as soon as the stream window took it. Such a dialog is made modal to its family as it shows. Main thread; one
// per app.
class ModalKeyboard final : public QObject, public QAbstractNativeEventFilter {
    Q_OBJECT
public:
    explicit ModalKeyboard(QObject* parent = nullptr);
    ~ModalKeyboard() override;

    // While a modal window of `owner` shows, `window` stands under `owner` as Qt's modality reads it (nothing the
    // window manager sees), so that one blocks it too; a modal window of `window`'s own still blocks only `window`.
    void standUnder(QWidget& window, QWidget& owner);

    bool nativeEventFilter(const QByteArray& type, void* message, qintptr* result) override;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void takeBack(QWindow* focus);
    void regroup();

    struct Member {
        QPointer<QWidget> window;
        QPointer<QWidget> owner;
    };
    std::vector<Member> members_;
    unsigned long xFocus_ = 0;  // the window the X server last gave the keyboard to
};

} // namespace corvane
