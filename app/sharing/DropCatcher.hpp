#pragma once

#include <QObject>
#include <QPointer>
#include <QUrl>
#include <QWidget>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class QMimeData;

namespace corvane {

class Clock;
class DropTargetView;

namespace platform {
class DragWatch;
}

// Catches what the user drags onto the stream window: while allowed, a drag that starts anywhere on the
// display (or, without X11, one that reaches the window) brings up the drop target over the stream window,
// which takes the drop and hands it to `onDrop` as files, a link or text. Once the button is up and no drag
// hovers over it, the target goes again. The target is no window of its own: the stream window itself takes
// the drag (it accepts drops, and this filters its drag events to the target), and the target's look, shown
// while a drag is over the window, is drawn by the stream view over the moving picture. Main thread only.
class DropCatcher final : public QObject {
    Q_OBJECT
public:
    struct Drop {
        enum class Kind { files, link, text };
        Kind kind = Kind::text;
        std::vector<std::filesystem::path> files;  // local files and folders, in the drag's order
        QUrl link;
        std::string text;  // exactly as dragged
    };

    static constexpr double kWatch = 0.3;

    explicit DropCatcher(Clock& clock, QObject* parent = nullptr);
    ~DropCatcher() override;

    std::optional<std::int32_t> streamPID;
    bool enabled = false;
    std::function<void(const Drop&)> onDrop;

    // The stream window the app hands over while one is open (nullptr after it closes).
    void setStreamWindow(QWidget* streamWindow);
    void start();
    void stop();
    bool watching() const { return watching_; }
    // The drop target is up: it takes the drags over the stream window (and shows its look while one is over).
    bool panelVisible() const { return up_; }
    // A drag is over the stream window, and the target shows it.
    bool highlighted() const;

    // Files first, then a web or mail link, then text (an http(s) address alone becomes a link); nothing for
    // an empty drag.
    static std::optional<Drop> sort(const QMimeData& data);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void mouseDragged();
    void show();
    void hide();
    bool allowed() const;

    Clock& clock_;
    std::unique_ptr<platform::DragWatch> drags_;
    std::int64_t dragCount_ = 0;
    std::uint64_t shown_ = 0;  // numbers each showing, so an old watch loop ends
    bool watching_ = false;
    bool up_ = false;
    QPointer<QWidget> window_;
    std::unique_ptr<DropTargetView> panel_;  // made on first use, kept with its window
};

} // namespace corvane
