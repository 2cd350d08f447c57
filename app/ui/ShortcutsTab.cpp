#include "app/ui/ShortcutsTab.hpp"

#include "app/controller/BoxController.hpp"
#include "app/services/ShortcutAction.hpp"
#include "app/services/ShortcutRecorder.hpp"
#include "app/ui/PlainText.hpp"

#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include <algorithm>

namespace corvane {
namespace {

constexpr ShortcutAction kActions[] = {ShortcutAction::releaseMouse, ShortcutAction::endSession};

const KeyShortcut& current(const StreamSettings& settings, ShortcutAction action) {
    return action == ShortcutAction::releaseMouse ? settings.releaseMouseKey : settings.endSessionKey;
}

KeyShortcut defaultOf(ShortcutAction action) {
    return action == ShortcutAction::releaseMouse ? KeyShortcut::defaultReleaseMouse() : KeyShortcut::defaultEndSession();
}

} // namespace

ShortcutsTab::ShortcutsTab(BoxController& box, QWidget* parent) : SettingsPage(parent), box_(box) {
    addSection("Keyboard shortcuts while Windows is open");
    for (int row = 0; row < 2; ++row) {
        auto* controls = new QHBoxLayout;
        controls->setSpacing(8);
        buttons_[row] = new QPushButton;
        buttons_[row]->setObjectName(QString("shortcut%1").arg(row));
        buttons_[row]->setAutoDefault(false);
        connect(buttons_[row], &QPushButton::clicked, this, [this, row] { toggleRecording(row); });
        controls->addWidget(buttons_[row]);
        resets_[row] = new QPushButton("Reset");
        // 300 wide where "Reset" still fits beside it in the row; else the row would run off the page.
        buttons_[row]->setFixedWidth(std::min(300, kControlWidth - controls->spacing() - resets_[row]->sizeHint().width()));
        resets_[row]->setAutoDefault(false);
        connect(resets_[row], &QPushButton::clicked, this, [this, row] {
            box_.shortcutRecorder().stop();
            box_.resetShortcut(kActions[row]);
        });
        controls->addWidget(resets_[row]);
        addRow(QString::fromUtf8(title(kActions[row]).data(), static_cast<qsizetype>(title(kActions[row]).size())), controls);
    }
    message_ = addNote("");
    message_->setObjectName("recorderMessage");
    addNote("Click a shortcut, then press the keys you want. Use at least one of Ctrl, Alt or Super.");

    permission_ = new QWidget(this);
    auto* permissionColumn = new QVBoxLayout(permission_);
    permissionColumn->setContentsMargins(0, 0, 0, 0);
    permissionColumn->setSpacing(18);
    auto* divider = new QFrame(permission_);
    divider->setFrameShape(QFrame::HLine);
    permissionColumn->addWidget(divider);
    page_->addWidget(permission_);
    // Built like the other sections, then moved into the holder that shows or hides them together.
    QWidget* section = addSection("Permission needed");
    addNote("Custom shortcuts need Accessibility permission so Corvane can see them while the stream window has the "
            "keyboard. Turn on Corvane in the system's accessibility settings. Until then, the original shortcuts "
            "still work.");
    page_->removeWidget(section);
    permissionColumn->addWidget(section);

    connect(&box_, &BoxController::changed, this, &ShortcutsTab::sync);
    connect(&box_.shortcutRecorder(), &ShortcutRecorder::changed, this, &ShortcutsTab::sync);
    sync();
}

void ShortcutsTab::toggleRecording(int row) {
    auto& recorder = box_.shortcutRecorder();
    const ShortcutAction action = kActions[row];
    if (recorder.active() == action) {
        recorder.stop();
        return;
    }
    BoxController* box = &box_;
    recorder.record(action, [box, action](const KeyShortcut& shortcut) { return box->setShortcut(action, shortcut); });
}

void ShortcutsTab::hideEvent(QHideEvent* event) {
    SettingsPage::hideEvent(event);
    box_.shortcutRecorder().stop();
}

void ShortcutsTab::sync() {
    const auto& recorder = box_.shortcutRecorder();
    for (int row = 0; row < 2; ++row) {
        const KeyShortcut& shortcut = current(box_.settings(), kActions[row]);
        buttons_[row]->setText(recorder.active() == kActions[row] ? QString("Press new shortcut...")
                                                                   : PlainText::mnemonicSafe(shortcut.display()));
        resets_[row]->setEnabled(!(shortcut == defaultOf(kActions[row])));
    }
    message_->parentWidget()->setVisible(recorder.message().has_value());
    message_->setText(recorder.message() ? PlainText::cut(*recorder.message()) : QString());
    permission_->setVisible(box_.hasCustomShortcuts() && !box_.accessibilityTrusted());
}

} // namespace corvane
