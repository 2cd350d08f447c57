#pragma once

#include "app/services/KeyShortcut.hpp"
#include "app/services/ShortcutAction.hpp"

#include <QObject>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace corvane {

// Records a new stream shortcut from the next key press that reaches the app's own windows (the settings
// window). While recording, every key-down is consumed: Escape alone cancels; a key without Control, Option
// or Command is refused with a hint; anything else is offered to `accept`, which takes it (returns none,
// recording ends) or refuses it with a text to show (recording goes on).
//
// Key presses come from a monitor the app installs (the settings window, translating its key events into
// the Mac key vocabulary); the recorder installs it through `MonitorInstaller` when recording starts and
// removes it when recording ends. Main thread only; `changed` is emitted whenever `active` or `message`
// changes.
class ShortcutRecorder final : public QObject {
    Q_OBJECT

public:
    // One key-down, in the Mac key vocabulary.
    struct KeyPress {
        std::uint16_t keyCode = 0;
        std::uint64_t modifierFlags = 0;
        std::string characters;                    // with no modifiers applied
        std::string charactersIgnoringModifiers;   // the fallback when the first is empty
    };
    // Returns true when the press is consumed.
    using KeyHandler = std::function<bool(const KeyPress&)>;
    // Installs a key-down monitor and returns what removes it. The remover may run at the very end of the
    // handler's own call (a press that ends recording); the handler touches nothing of its own after that.
    using MonitorInstaller = std::function<std::function<void()>(KeyHandler)>;
    using Accept = std::function<std::optional<std::string>(const KeyShortcut&)>;

    explicit ShortcutRecorder(MonitorInstaller installer = {}, QObject* parent = nullptr);
    ~ShortcutRecorder() override;

    void setMonitorInstaller(MonitorInstaller installer);

    void record(ShortcutAction action, Accept accept);
    void stop();

    std::optional<ShortcutAction> active() const { return active_; }
    const std::optional<std::string>& message() const { return message_; }
    bool isMonitoring() const { return static_cast<bool>(removeMonitor_); }

    // What the monitor calls for each key-down. Returns true when the press is consumed.
    bool handleKeyDown(const KeyPress& press);

    // The key's display name: the special-key table, else the characters trimmed and in upper case, else
    // "Key <code>".
    static std::string keyName(const KeyPress& press);

Q_SIGNALS:
    void changed();

private:
    void setState(std::optional<ShortcutAction> active, std::optional<std::string> message);
    void removeMonitor();

    MonitorInstaller installer_;
    std::function<void()> removeMonitor_;
    Accept accept_;
    std::optional<ShortcutAction> active_;
    std::optional<std::string> message_;
    bool inHandler_ = false;
    std::function<void()> removeAfterHandler_;
};

} // namespace corvane
