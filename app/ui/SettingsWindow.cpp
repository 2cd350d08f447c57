#include "app/ui/SettingsWindow.hpp"

#include "app/controller/BoxController.hpp"
#include "app/services/ShortcutRecorder.hpp"
#include "app/ui/CloseKey.hpp"
#include "app/ui/ControllersTab.hpp"
#include "app/ui/GeneralTab.hpp"
#include "app/ui/Look.hpp"
#include "app/ui/ScreenFit.hpp"
#include "app/ui/SharingTab.hpp"
#include "app/ui/ShortcutsTab.hpp"
#include "app/ui/StreamTab.hpp"
#include "app/ui/Symbols.hpp"
#include "app/ui/TextStyle.hpp"
#include "app/ui/UpdatesTab.hpp"
#include "platform/keys/KeyEvents.hpp"

#include <QApplication>
#include <QKeyEvent>
#include <QScrollArea>
#include <QStyle>
#include <QTabBar>
#include <QTimer>
#include <QTabWidget>
#include <QVBoxLayout>

#include <algorithm>

namespace corvane {
namespace {

struct Tab {
    const char* label;
    const char* symbol;
};
constexpr Tab kTabs[] = {{"General", "gearshape"},   {"Stream", "play.rectangle"},
                         {"Controllers", "gamecontroller"}, {"Sharing", "arrow.left.arrow.right"},
                         {"Shortcuts", "keyboard"},  {"Updates", "arrow.down.circle"}};

// Hands the recorder the key presses that reach the settings window, in the Mac key vocabulary.
class KeyMonitor final : public QObject {
public:
    KeyMonitor(QWidget* window, ShortcutRecorder::KeyHandler handler)
        : QObject(window), window_(window), handler_(std::move(handler)) {
        qApp->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject* target, QEvent* event) override {
        const bool override = event->type() == QEvent::ShortcutOverride;
        if ((event->type() != QEvent::KeyPress && !override) || !target->isWidgetType()) return false;
        if (static_cast<QWidget*>(target)->window() != window_) return false;
        // While recording, a key of the window's own shortcuts (Ctrl+W) is recorded, not acted on.
        if (override) {
            event->accept();
            return false;
        }
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
    setWindowIcon(Symbols::appIcon());
    Look::keepReadable();
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    tabs_ = new QTabWidget(this);
    column->addWidget(tabs_);
    general_ = new GeneralTab(box_);
    // Each page scrolls on its own when the screen is shorter than it.
    pages_ = {general_, new StreamTab(box_), new ControllersTab(box_), new SharingTab(box_), new ShortcutsTab(box_),
              new UpdatesTab(box_)};
    for (std::size_t i = 0; i < pages_.size(); ++i) {
        QScrollArea* scroll = ScreenFit::scrollArea(pages_[i]);
        scroll->setAlignment(Qt::AlignHCenter | Qt::AlignTop);  // in a window widened for its tabs
        tabs_->addTab(scroll, QString(kTabs[i].label));
    }
    connect(tabs_, &QTabWidget::currentChanged, this, &SettingsWindow::fitPage);
    Look::onChange(this, [this] { drawTabSymbols(); });
    drawTabSymbols();
    fitPage();
    closeOnCtrlW(*this);

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

void SettingsWindow::drawTabSymbols() {
    const QColor text = palette().color(QPalette::WindowText);
    for (int i = 0; i < tabs_->count(); ++i) tabs_->setTabIcon(i, Symbols::icon(kTabs[i].symbol, text));
}

SettingsPage* SettingsWindow::page(int index) const {
    return index >= 0 && index < static_cast<int>(pages_.size()) ? pages_[static_cast<std::size_t>(index)] : nullptr;
}

void SettingsWindow::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    // Once framed, the frame's real size is known.
    QTimer::singleShot(0, this, [this] { fitPage(); });
}

void SettingsWindow::fitPage() {
    // As tall as the page shown, but never taller than the screen's free area: past that the page scrolls.
    auto* scroll = static_cast<QScrollArea*>(tabs_->currentWidget());
    if (!scroll) return;
    // The tab widget's own frame and bar around the page.
    const int frame = 2 * tabs_->style()->pixelMetric(QStyle::PM_DefaultFrameWidth) + 4;
    // Wide enough for the page and for every tab to show: a bar with scroll arrows hides some of its tabs.
    const QSize bar = tabs_->tabBar()->sizeHint();
    ScreenFit::fit(*this, *scroll, std::max(SettingsPage::kWidth, bar.width()), QSize(frame, bar.height() + frame));
}

} // namespace corvane
