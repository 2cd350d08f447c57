#include "app/ui/SettingsWindow.hpp"

#include "app/controller/BoxController.hpp"
#include "app/services/ShortcutRecorder.hpp"
#include "app/ui/ControllersTab.hpp"
#include "app/ui/GeneralTab.hpp"
#include "app/ui/SharingTab.hpp"
#include "app/ui/ShortcutsTab.hpp"
#include "app/ui/StreamTab.hpp"
#include "app/ui/Symbols.hpp"
#include "app/ui/TextStyle.hpp"
#include "app/ui/UpdatesTab.hpp"
#include "platform/keys/KeyEvents.hpp"

#include <QApplication>
#include <QKeyEvent>
#include <QTabWidget>
#include <QVBoxLayout>

namespace corvane {
namespace {

// Hands the recorder the key presses that reach the settings window, in the Mac key vocabulary.
class KeyMonitor final : public QObject {
public:
    KeyMonitor(QWidget* window, ShortcutRecorder::KeyHandler handler)
        : QObject(window), window_(window), handler_(std::move(handler)) {
        qApp->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject* target, QEvent* event) override {
        if (event->type() != QEvent::KeyPress || !target->isWidgetType()) return false;
        if (static_cast<QWidget*>(target)->window() != window_) return false;
        auto* key = static_cast<QKeyEvent*>(event);
        keys_.syncWithX11State(key->nativeModifiers());
        // Modifier keys alone change flags only; the recorder waits for the key they go with.
        const auto down = keys_.press(key->nativeScanCode(), key->nativeVirtualKey(), key->isAutoRepeat());
        if (!down || down->type != platform::KeyEvents::Type::keyDown) return false;
        ShortcutRecorder::KeyPress press;
        press.keyCode = down->keyCode;
        press.modifierFlags = down->modifierFlags;
        press.charactersIgnoringModifiers = down->charactersIgnoringModifiers;
        press.characters = down->charactersIgnoringModifiers;
        // The handler may remove this monitor; it is deleted later, never inside its own call.
        return handler_(press);
    }

private:
    QWidget* window_;
    ShortcutRecorder::KeyHandler handler_;
    platform::KeyEvents keys_;
};

} // namespace

SettingsWindow::SettingsWindow(BoxController& box, QWidget* parent) : QWidget(parent), box_(box) {
    setObjectName("settings");
    setWindowTitle("Corvane Settings");
    setFont(textFont(TextStyle::callout));
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSizeConstraint(QLayout::SetFixedSize);
    tabs_ = new QTabWidget(this);
    column->addWidget(tabs_);
    const QColor text = palette().color(QPalette::WindowText);
    general_ = new GeneralTab(box_);
    tabs_->addTab(general_, Symbols::icon("gearshape", text), "General");
    tabs_->addTab(new StreamTab(box_), Symbols::icon("play.rectangle", text), "Stream");
    tabs_->addTab(new ControllersTab(box_), Symbols::icon("gamecontroller", text), "Controllers");
    tabs_->addTab(new SharingTab(box_), Symbols::icon("arrow.left.arrow.right", text), "Sharing");
    tabs_->addTab(new ShortcutsTab(box_), Symbols::icon("keyboard", text), "Shortcuts");
    tabs_->addTab(new UpdatesTab(box_), Symbols::icon("arrow.down.circle", text), "Updates");
    connect(tabs_, &QTabWidget::currentChanged, this, &SettingsWindow::fitPage);
    fitPage();

    QPointer<QWidget> self(this);
    box_.shortcutRecorder().setMonitorInstaller([self](ShortcutRecorder::KeyHandler handler) -> std::function<void()> {
        if (!self) return [] {};
        QPointer<KeyMonitor> monitor = new KeyMonitor(self, std::move(handler));
        return [monitor] {
            if (monitor) monitor->deleteLater();
        };
    });
}

SettingsWindow::~SettingsWindow() {
    box_.shortcutRecorder().stop();
    box_.shortcutRecorder().setMonitorInstaller({});
}

void SettingsWindow::showAndRaise() {
    show();
    raise();
    activateWindow();
}

void SettingsWindow::fitPage() {
    // Only the page shown asks for room (see SettingsPage), so the window is exactly as tall as that page.
    tabs_->updateGeometry();
    layout()->activate();
}

} // namespace corvane
