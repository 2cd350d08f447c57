#pragma once

#include <coroutine>
#include <memory>

#include <QDialog>
#include <QPointer>
#include <QTimer>

namespace corvane {

// Awaits a dialog opened with open(): resumes with its result once it finishes, or with Rejected when it is
// destroyed unanswered (its window went away). The resumption is always posted to the event loop, so the
// waiting coroutine never runs inside the code that closed the dialog.
struct DialogAwaiter {
    QPointer<QDialog> dialog;
    int result = QDialog::Rejected;

    bool await_ready() const noexcept { return !dialog; }
    void await_suspend(std::coroutine_handle<> handle) {
        auto done = std::make_shared<bool>(false);
        auto resume = [this, handle, done](int value) {
            if (*done) return;
            *done = true;
            result = value;
            QTimer::singleShot(0, [handle] { handle.resume(); });
        };
        QObject::connect(dialog, &QDialog::finished, dialog, resume);
        QObject::connect(dialog, &QObject::destroyed, [resume] { resume(QDialog::Rejected); });
    }
    int await_resume() const noexcept { return result; }
};

}  // namespace corvane
