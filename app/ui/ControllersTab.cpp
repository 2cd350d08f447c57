#include "app/ui/ControllersTab.hpp"

#include "app/controller/BoxController.hpp"
#include "app/controller/ControllerWatcher.hpp"
#include "app/services/StreamSettings.hpp"
#include "app/services/agent/AgentReplies.hpp"
#include "app/ui/PlainText.hpp"
#include "app/ui/SymbolLabel.hpp"
#include "app/ui/TextStyle.hpp"
#include "app/updates/UpdateManager.hpp"
#include "app/ui/WrappingCheckBox.hpp"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QSignalBlocker>
#include <QVBoxLayout>

namespace corvane {

std::string ControllersTab::driverStatus(const BoxController& box) {
    const auto& info = box.boxInfo();
    if (info && info->gamepadDriver) return *info->gamepadDriver ? "Installed" : "Not installed";
    return box.boxFound() ? "Unknown (update the box software)" : "Connect the box to check";
}

ControllersTab::ControllersTab(BoxController& box, QWidget* parent) : SettingsPage(parent), box_(box) {
    using S = StreamSettings;
    addSection("Connected to this computer");
    list_ = new QWidget;
    listRows_ = new QVBoxLayout(list_);
    listRows_->setContentsMargins(0, 0, 0, 0);
    listRows_->setSpacing(10);
    section_->addWidget(list_);
    addNote("Pair PlayStation, Xbox and other Bluetooth controllers in Settings > Bluetooth, or plug them "
            "in with USB. They work in Windows while the stream window is in front.");
    addDivider();

    addSection("Options");
    const char* texts[] = {"Each controller is a separate player",
                           "Keep controllers working when the stream window is in the background",
                           "Swap A/B and X/Y (Nintendo layout)"};
    bool S::*fields[] = {&S::multiController, &S::backgroundGamepad, &S::swapGamepadButtons};
    for (int i = 0; i < 3; ++i) {
        options_[i] = new WrappingCheckBox(texts[i], kControlWidth);
        bool S::*field = fields[i];
        connect(options_[i], &QCheckBox::clicked, this, [this, field](bool on) {
            S settings = box_.settings();
            settings.*field = on;
            box_.setSettings(settings);
        });
        addRow("", options_[i]);
    }
    addNote("These apply the next time Windows opens.");
    addDivider();

    addSection("Controller driver on the box");
    status_ = PlainText::label(nullptr);
    status_->setObjectName("driverStatus");
    addRow("Status", status_);
    install_ = new QPushButton("Install Controller Driver");
    connect(install_, &QPushButton::clicked, this, [this] {
        if (!box_.updates().isBusy()) box_.updates().updateBox("gamepad");
    });
    installRow_ = addRow("", install_);
    addNote("Windows needs this driver to see controllers from this computer (they appear as Xbox controllers). Installing "
            "it ends the current session.");

    connect(&box_, &BoxController::changed, this, &ControllersTab::sync);
    connect(&box_.controllers(), &ControllerWatcher::changed, this, &ControllersTab::sync);
    connect(&box_.updates(), &UpdateManager::changed, this, &ControllersTab::sync);
    sync();
}

void ControllersTab::sync() {
    while (auto* item = listRows_->takeAt(0)) {
        delete item->widget();
        delete item;
    }
    const auto& names = box_.controllers().names();
    const auto row = [this](QWidget* content) {
        auto* line = new QWidget(list_);
        auto* layout = new QHBoxLayout(line);
        layout->setContentsMargins(0, 0, 0, 0);
        layout->setSpacing(12);
        layout->addSpacing(kLabelWidth);
        content->setParent(line);
        layout->addWidget(content);
        layout->addStretch();
        listRows_->addWidget(line);
        line->show();  // now, not when the layout would get to it: the window measures it as it fits
    };
    if (names.empty()) {
        auto* none = PlainText::label(nullptr, "No controllers connected");
        setSecondary(none);
        row(none);
    }
    for (const auto& name : names) {
        auto* entry = new QWidget;
        auto* layout = new QHBoxLayout(entry);
        layout->setContentsMargins(0, 0, 0, 0);
        layout->addWidget(new SymbolLabel("gamecontroller.fill", Tint::text, 16, entry));
        layout->addWidget(PlainText::label(entry, PlainText::cut(name, 120)));
        row(entry);
    }

    const auto& s = box_.settings();
    const bool values[] = {s.multiController, s.backgroundGamepad, s.swapGamepadButtons};
    for (int i = 0; i < 3; ++i) {
        const QSignalBlocker blocker(options_[i]);
        options_[i]->setChecked(values[i]);
    }
    const auto& info = box_.boxInfo();
    status_->setText(QString::fromStdString(driverStatus(box_)));
    setSecondary(status_, !(info && info->gamepadDriver.value_or(false)));
    installRow_->setVisible(info && info->gamepadDriver == false);
    install_->setEnabled(!box_.updates().isBusy());
}

} // namespace corvane
