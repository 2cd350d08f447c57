#include "app/ui/TrayMenu.hpp"

#include "app/controller/BoxController.hpp"
#include "app/controller/Diagnostics.hpp"
#include "app/services/StreamSettings.hpp"
#include "app/sharing/SharingManager.hpp"
#include "app/ui/Look.hpp"
#include "app/ui/PlainText.hpp"
#include "app/ui/Style.hpp"
#include "app/ui/Symbols.hpp"
#include "app/updates/UpdateManager.hpp"
#include "platform/tray/TrayHost.hpp"

#include <QApplication>
#include <QMenu>
#include <QSystemTrayIcon>

#include <vector>

namespace corvane {

TrayMenu::TrayMenu(BoxController& box, Actions actions, QObject* parent)
    : QObject(parent), box_(box), actions_(std::move(actions)), menu_(std::make_unique<QMenu>()),
      host_(new platform::TrayHost(this)) {
    Look::keepReadable();
    connect(&box_, &BoxController::changed, this, &TrayMenu::rebuild);
    connect(&box_.sharing(), &SharingManager::changed, this, &TrayMenu::rebuild);
    connect(host_, &platform::TrayHost::changed, this, &TrayMenu::syncVisibility);
    rebuild();
    syncVisibility();
}

TrayMenu::~TrayMenu() {
    if (icon_) icon_->setContextMenu(nullptr);
}

// Qt picks once per run, at its first icon, how icons reach the desktop: through the StatusNotifier watcher
// when one is on the bus then, else into an X tray, and never looks for a watcher again. So the icon is made
// only once a tray is there to take it, and the tray that counts is the one Qt sends it to.
bool TrayMenu::trayNow() const {
    const bool viaWatcher = icon_ ? viaWatcher_ : host_->notifierWatcher();
    return viaWatcher ? host_->notifierHost() : host_->xTray();
}

void TrayMenu::makeIcon() {
    viaWatcher_ = host_->notifierWatcher();
    icon_ = new QSystemTrayIcon(this);
    icon_->setToolTip("Corvane");
    icon_->setIcon(Symbols::trayIcon(iconSymbol_));
    icon_->setContextMenu(menu_.get());
    connect(icon_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        // A click or double click shows the main window; the context request opens the menu.
        if (reason != QSystemTrayIcon::Context && actions_.showMain) actions_.showMain();
    });
}

void TrayMenu::syncVisibility() {
    if (!icon_ && trayNow()) makeIcon();
    const bool wanted = StreamSettings::menuBarEnabled(box_.defaults());
    if (icon_) icon_->setVisible(wanted);
    const bool available = trayNow(), shown = available && wanted;
    // Without an icon, closing the last window must end the app: nothing else would bring it back.
    QApplication::setQuitOnLastWindowClosed(!shown);
    if (available == available_ && shown == shown_) return;
    available_ = available, shown_ = shown;
    Q_EMIT changed();
}

std::string TrayMenu::iconSymbol(const BoxController& box) {
    using Kind = BoxController::Phase::Kind;
    if (box.phase().is(Kind::ready)) return "cable.connector.horizontal";
    if (box.phase().is(Kind::streaming)) return "play.rectangle.fill";
    return "cable.connector";
}

void TrayMenu::rebuild() {
    using Kind = BoxController::Phase::Kind;
    const std::string symbol = iconSymbol(box_);
    if (symbol != iconSymbol_) {
        iconSymbol_ = symbol;
        if (icon_) icon_->setIcon(Symbols::trayIcon(symbol));
    }
    struct Item {
        QString text;  // empty: a separator
        bool enabled;
        std::function<void()> slot;
    };
    std::vector<Item> items;
    const auto add = [&items](const std::string& text, bool enabled, std::function<void()> slot) {
        items.push_back({PlainText::mnemonicSafe(text), enabled, std::move(slot)});
    };
    const auto separator = [&items] { items.push_back({QString(), true, {}}); };
    // The status line: disabled, so nothing clicks it, and drawn as text (Style::setStatusLine).
    items.push_back({PlainText::cut(box_.menuStatus(), 80).replace('&', "&&"), false, {}});
    separator();
    BoxController* box = &box_;
    if (box_.phase().is(Kind::streaming))
        add("Close Windows Session", true, [box] { box->closeSession(); });
    else
        add("Open Windows", box_.phase().is(Kind::ready), [box] {
            if (box->paired()) box->openEngineWindow();
        });
    if (box_.canWake()) add("Wake Box", true, [box] { box->wakeBoxNow(); });
    add("Send Files to Windows...", box_.sharing().available(), [box] { box->sharing().chooseFilesToSend(); });
    add("Restart Box...", box_.boxFound() && box_.statusSupported(), [box] { box->confirmBoxPower("restart"); });
    separator();
    const Actions* actions = &actions_;
    add("Show Corvane", true, [actions] {
        if (actions->showMain) actions->showMain();
    });
    add("Settings...", true, [actions] {
        if (actions->openSettings) actions->openSettings();
    });
    add("Check for Updates...", true, [actions, box] {
        if (actions->showMain) actions->showMain();
        box->updates().checkNow();
    });
    add("Save Diagnostics...", true, [box] { Diagnostics::save(*box); });
    separator();
    add("Quit Corvane", true, [actions] {
        if (actions->quit) actions->quit();
    });

    // An item's call follows from its text, so the same texts and states are the same menu: left as it is,
    // an open menu does not flicker with every change of the controller.
    const QList<QAction*> current = menu_->actions();
    bool same = current.size() == static_cast<qsizetype>(items.size());
    for (std::size_t i = 0; same && i < items.size(); ++i)
        same = current[i]->isSeparator() == items[i].text.isEmpty() && current[i]->text() == items[i].text &&
               current[i]->isEnabled() == items[i].enabled;
    if (same) return;
    // The action being triggered may be the one that changed the controller: it goes once its call ends.
    for (QAction* action : current) {
        menu_->removeAction(action);
        action->deleteLater();
    }
    for (Item& item : items) {
        if (item.text.isEmpty()) {
            menu_->addSeparator();
            continue;
        }
        QAction* action = menu_->addAction(item.text);
        action->setEnabled(item.enabled);
        if (action == menu_->actions().front()) Style::setStatusLine(action);
        if (item.slot) QObject::connect(action, &QAction::triggered, menu_.get(), std::move(item.slot));
    }
}

} // namespace corvane
