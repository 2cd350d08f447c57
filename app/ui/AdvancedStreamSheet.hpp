#pragma once

#include <QDialog>
#include <QString>

#include <string>

class QCheckBox;
class QLabel;
class QScrollArea;

namespace corvane {

class BoxController;
class PopupPicker;
struct StreamSettings;

// Bitrate, codec, HDR, 4:4:4, sound channels, V-Sync and frame pacing: a window-modal sheet over the
// settings window, shown while the controller's showAdvancedStream is on. "Done" (Return) turns it off.
class AdvancedStreamSheet final : public QDialog {
    Q_OBJECT
public:
    static constexpr int kBitrates[] = {0, 20, 50, 80, 100, 150, 200, 300};

    AdvancedStreamSheet(BoxController& box, QWidget* parent);

    static std::string automaticLabel(const StreamSettings& settings);
    // Why codecs or HDR cannot be had here, shown under their controls; empty when they can.
    static QString codecReason(const StreamSettings& settings);
    static QString hdrReason();
    void sync();

protected:
    void showEvent(QShowEvent* event) override;

private:
    void fit();

    BoxController& box_;
    QScrollArea* scroll_;
    PopupPicker* bitrate_;
    PopupPicker* codec_;
    QLabel* codecReason_;
    QCheckBox* hdr_;
    QLabel* hdrReason_;
    QCheckBox* yuv444_;
    PopupPicker* audio_;
    QCheckBox* vsync_;
    QCheckBox* framePacing_;
};

} // namespace corvane
