#pragma once

#include "app/ui/SettingsPage.hpp"

#include <QFileDialog>
#include <QPointer>

class QCheckBox;
class QLabel;
class QPushButton;

namespace corvane {

class BoxController;
class SymbolLabel;

// Whether sharing is on now, dropping onto the stream window, where files from Windows land, and the
// shared clipboard.
class SharingTab final : public SettingsPage {
    Q_OBJECT
public:
    explicit SharingTab(BoxController& box, QWidget* parent = nullptr);

    // Opens the folder panel (one at a time; a second call raises it). The choice is stored when made.
    void chooseFolder();
    QFileDialog* folderPanel() const { return panel_; }
    void sync();

private:
    BoxController& box_;
    SymbolLabel* bannerIcon_;
    QLabel* bannerText_;
    QCheckBox* drop_;
    QPushButton* send_;
    QLabel* folderName_;
    QPushButton* useDownloads_;
    QCheckBox* clipboard_;
    QPointer<QFileDialog> panel_;
};

} // namespace corvane
