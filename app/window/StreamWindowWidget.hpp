#pragma once

#include <functional>

#include <QWidget>

namespace corvane {

// The top-level "Windows" window that holds the stream view. It only reports what happens to it; its owner
// (EngineStream) decides. clearDelegate() cuts the reports, so that closing it on purpose reports nothing.
class StreamWindowWidget final : public QWidget {
    Q_OBJECT

public:
    explicit StreamWindowWidget(QWidget* content);

    std::function<void()> onClose;
    std::function<void()> onResized;
    std::function<void(bool fullScreen)> onFullScreenChanged;
    std::function<void()> onResignKey;
    void clearDelegate();

protected:
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    bool fullScreen_ = false;
};

}  // namespace corvane
