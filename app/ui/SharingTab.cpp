#include "app/ui/SharingTab.hpp"

#include "app/controller/BoxController.hpp"
#include "app/services/StreamSettings.hpp"
#include "app/sharing/SharingManager.hpp"
#include "app/ui/PlainText.hpp"
#include "app/ui/Shown.hpp"
#include "app/ui/Card.hpp"
#include "app/ui/SymbolLabel.hpp"
#include "app/ui/Tint.hpp"
#include "app/ui/WrappingCheckBox.hpp"

#include <QCheckBox>
#include <QFileDialog>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QSignalBlocker>
#include <QVBoxLayout>

namespace corvane {

SharingTab::SharingTab(BoxController& box, QWidget* parent) : SettingsPage(parent), box_(box) {
    auto* banner = new Card(Look::Fill::card, false, this);
    banner->setObjectName("sharingBanner");
    auto* bannerRow = new QHBoxLayout(banner);
    bannerRow->setContentsMargins(12, 12, 12, 12);
    bannerRow->setSpacing(8);
    bannerIcon_ = new SymbolLabel("info.circle.fill", Tint::orange, 16, banner);
    bannerRow->addWidget(bannerIcon_);
    bannerText_ = PlainText::label(banner);
    bannerText_->setObjectName("availability");
    bannerText_->setWordWrap(true);
    bannerRow->addWidget(bannerText_, 1);
    page_->addWidget(banner);

    addSection("This computer to Windows");
    drop_ = new WrappingCheckBox("Drag files, folders and links onto the stream window", kControlWidth);
    connect(drop_, &QCheckBox::clicked, this, [this](bool on) {
        StreamSettings settings = box_.settings();
        settings.dropToWindows = on;
        box_.setSettings(settings);
    });
    addRow("", drop_);
    send_ = new QPushButton("Send Files to Windows...");
    connect(send_, &QPushButton::clicked, this, [this] { box_.sharing().chooseFilesToSend(window()); });
    addRow("", send_);
    addNote("Files go into the folder open in front in File Explorer, or the Windows Desktop. Links open in the Windows "
            "browser; dropped text goes to the Windows clipboard.");
    addDivider();

    addSection("Windows to this computer");
    auto* folderRow = new QHBoxLayout;
    folderRow->setSpacing(8);
    folderRow->addWidget(new SymbolLabel("folder", Tint::text, 16));
    folderName_ = PlainText::label(nullptr);
    folderName_->setObjectName("folderName");
    folderRow->addWidget(folderName_);
    auto* change = new QPushButton("Change...");
    connect(change, &QPushButton::clicked, this, &SharingTab::chooseFolder);
    folderRow->addWidget(change);
    useDownloads_ = new QPushButton("Use Downloads");
    connect(useDownloads_, &QPushButton::clicked, this, [this] {
        StreamSettings settings = box_.settings();
        settings.receiveFolder.clear();
        box_.setSettings(settings);
    });
    folderRow->addWidget(useDownloads_);
    addRow("Save files to", folderRow);
    addNote(QString::fromStdString("In File Explorer on Windows, right-click files or folders, choose Show more options > "
                                   "Send to > " + BoxController::pairingName() + ". They arrive here with a notification."));
    addDivider();

    addSection("Clipboard");
    clipboard_ = new WrappingCheckBox("Share the clipboard (text and pictures)", kControlWidth);
    connect(clipboard_, &QCheckBox::clicked, this, [this](bool on) {
        StreamSettings settings = box_.settings();
        settings.shareClipboard = on;
        box_.setSettings(settings);
    });
    addRow("", clipboard_);
    addNote("Copy on one side and paste on the other. Passwords copied from password managers are never shared.");

    connect(&box_, &BoxController::changed, this, &SharingTab::sync);
    connect(&box_.sharing(), &SharingManager::changed, this, &SharingTab::sync);
    sync();
}

void SharingTab::chooseFolder() {
    // A panel just answered is hidden and goes with the next turn of the event loop: a new one opens.
    if (panel_ && panel_->isVisible()) {
        panel_->raise();
        panel_->activateWindow();
        return;
    }
    auto* panel = new QFileDialog(window(), QString(), QString::fromStdString(box_.sharing().receiveFolder().string()));
    panel->setObjectName("folderPanel");
    panel->setAttribute(Qt::WA_DeleteOnClose);
    panel->setFileMode(QFileDialog::Directory);
    panel->setOption(QFileDialog::ShowDirsOnly);
    panel->setOption(QFileDialog::DontUseNativeDialog);
    panel->setLabelText(QFileDialog::Accept, "Choose");
    panel_ = panel;
    // The answer arrives with the panel's own signal; nothing runs a nested loop.
    connect(panel, &QFileDialog::fileSelected, this, [this](const QString& folder) {
        if (folder.isEmpty()) return;
        StreamSettings settings = box_.settings();
        settings.receiveFolder = folder.toStdString();
        box_.setSettings(settings);
    });
    panel->open();
}

void SharingTab::sync() {
    auto& sharing = box_.sharing();
    const bool available = sharing.available();
    bannerIcon_->setSymbol(available ? "checkmark.circle.fill" : "info.circle.fill", available ? Tint::green : Tint::orange);
    bannerText_->setText(available ? QString("Sharing is on. This computer and Windows can trade files, links and the "
                                             "clipboard over the cable.")
                         : sharing.unavailableReason() ? PlainText::cut(*sharing.unavailableReason())
                                                       : QString("Sharing is not available right now."));
    send_->setEnabled(available);
    const auto& settings = box_.settings();
    {
        const QSignalBlocker a(drop_), b(clipboard_);
        drop_->setChecked(settings.dropToWindows);
        clipboard_->setChecked(settings.shareClipboard);
    }
    folderName_->setText(PlainText::cut(sharing.receiveFolder().filename().string(), 120));
    useDownloads_->setVisible(!settings.receiveFolder.empty());
}

} // namespace corvane
