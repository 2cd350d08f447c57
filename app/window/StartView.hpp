#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include <QImage>
#include <QWidget>

#include "platform/video/PixelBuffer.hpp"

class QLabel;

namespace corvane {

// The cover over the stream view while there is no picture: the box's name, a message and a spinner on
// black, over a dim copy of the last picture of the previous stream. It also keeps that last picture: a
// small blurred JPEG saved when a stream ends. A native panel over the picture's surface (OverlayPanel),
// letting clicks through; it follows its parent's size. Main thread.
class StartView final : public QWidget {
    Q_OBJECT

public:
    StartView(QWidget* parent, const std::optional<std::string>& boxName, const std::string& message);

    // Fades the cover out and deletes it afterwards (never synchronously).
    void fadeOut();

    // "last-picture.jpg" in the application's data folder; the folder is made when asked (a failure is
    // ignored).
    static std::optional<std::filesystem::path> snapshotURL();
    // Writes the last-picture file: 480 wide, height in proportion, blurred, JPEG quality 60, replaced as a
    // whole. Every failure leaves the previous file and is not reported.
    static void saveSnapshot(const platform::PixelBuffer& picture);
    // The picture as the file holds it, before encoding.
    static QImage snapshotImage(const platform::PixelBuffer& picture);
    // A Gaussian blur (sigma 6) with the edges clamped, so the borders stay opaque.
    static QImage blurred(const QImage& image, double sigma = 6.0);

    QString title() const;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    QImage background_;
    QLabel* title_ = nullptr;
    QLabel* message_ = nullptr;
    int spinnerStep_ = 0;
    bool fading_ = false;
};

}  // namespace corvane
