#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include <QPointer>
#include <QWidget>

#include "app/services/Clock.hpp"

class QLabel;

namespace corvane {

// A small dark pill near the top of the stream window telling the user how to get out; shown for three
// seconds, then faded away. A child of the window laid over the picture as a native panel of its own
// (OverlayPanel), so it stays over the picture, follows moves and full screen and lets clicks through to
// the stream view. Main thread only.
class CaptureHint final {
public:
    explicit CaptureHint(Clock& clock) : clock_(clock) {}
    ~CaptureHint() { hide(); }
    CaptureHint(const CaptureHint&) = delete;
    CaptureHint& operator=(const CaptureHint&) = delete;

    void show(QWidget& over, const std::string& text);
    void hide();

    // The pill on screen, if any (tests look at it).
    QWidget* panel() const { return panel_; }

private:
    QCoro::Task<> fadeLater(std::weak_ptr<int> alive, std::uint64_t generation);
    void place();

    Clock& clock_;
    QPointer<QWidget> panel_;
    QPointer<QWidget> parent_;
    std::uint64_t generation_ = 0;
    std::shared_ptr<int> alive_ = std::make_shared<int>(0);  // waits that outlive the hint find it gone
};

}  // namespace corvane
