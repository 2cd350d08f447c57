#pragma once

#include <QObject>
#include <QPointer>
#include <QWidget>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace corvane {

class Clock;

// The small pill that reports every sharing action: a title with a progress bar while a transfer runs,
// then a result line with a success or failure icon that goes away after a few seconds. It sits 24 px
// above the bottom edge of the stream window, as a panel over the picture inside it, when there is one;
// otherwise it is a frameless, unfocusable, click-through translucent window that stays on top at the top
// right of the primary screen. Each place has a pill widget of its own, made when the pill moves there.
// What it shows outlives the stream window: when that closes, the next tick shows it at the top right.
// Main thread only.
class TransferHUD final : public QObject {
    Q_OBJECT
public:
    static constexpr double kTick = 0.25;
    static constexpr double kHideAfterSuccess = 3.5;
    static constexpr double kHideAfterFailure = 6.0;

    explicit TransferHUD(Clock& clock, QObject* parent = nullptr);
    ~TransferHUD() override;

    const std::string& title() const { return title_; }
    // The parts of the title that name files, folders or items, in their order in it.
    const std::vector<std::string>& names() const { return names_; }
    std::optional<double> progress() const { return progress_; }
    bool failed() const { return failed_; }
    bool visible() const;
    // The pill's widget now, if any (tests look at it); a new one whenever the pill changes place.
    QWidget* pill() const { return pill_; }

    // Set while the stream window is open; the pill goes over the window StreamWindow::find finds for it.
    std::optional<std::int32_t> streamPID;

    // Titles longer than 500 bytes are cut there (at a character boundary) and end in an ellipsis. `names`
    // are the parts of it that name files, folders or items, in their order: where the title needs more than
    // the pill's two lines they are shortened in the middle, so that what is said of them stays whole.
    void show(const std::string& title, std::optional<double> progress, std::vector<std::string> names = {});
    // Never moves back, never passes 1; neither shows nor moves the pill.
    void setProgress(double value);
    void finish(const std::string& text, bool failed, std::vector<std::string> names = {});

Q_SIGNALS:
    void changed();

private:
    void present();
    void place();
    bool tick();

    Clock& clock_;
    std::string title_;
    std::vector<std::string> names_;
    std::optional<double> progress_;
    bool failed_ = false;
    std::optional<double> hideAt_;
    bool ticking_ = false;
    QPointer<QWidget> pill_;
};

} // namespace corvane
