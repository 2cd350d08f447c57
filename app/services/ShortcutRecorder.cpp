#include "app/services/ShortcutRecorder.hpp"

#include <QPointer>
#include <QString>

#include <map>

namespace corvane {
namespace {

constexpr std::uint16_t kEscape = 53;
constexpr std::uint64_t kNeedsOneOf = KeyShortcut::control | KeyShortcut::option | KeyShortcut::command;

const std::map<std::uint16_t, const char*>& specialKeys() {
    static const std::map<std::uint16_t, const char*> table = {
        {49, "Space"},         {36, "Return"},     {76, "Enter"},       {48, "Tab"},        {51, "Delete"},
        {117, "Forward Delete"}, {53, "Escape"},   {122, "F1"},         {120, "F2"},        {99, "F3"},
        {118, "F4"},           {96, "F5"},         {97, "F6"},          {98, "F7"},         {100, "F8"},
        {101, "F9"},           {109, "F10"},       {103, "F11"},        {111, "F12"},       {123, "Left Arrow"},
        {124, "Right Arrow"},  {125, "Down Arrow"}, {126, "Up Arrow"},  {115, "Home"},      {119, "End"},
        {116, "Page Up"},      {121, "Page Down"},
    };
    return table;
}

} // namespace

ShortcutRecorder::ShortcutRecorder(MonitorInstaller installer, QObject* parent)
    : QObject(parent), installer_(std::move(installer)) {}

ShortcutRecorder::~ShortcutRecorder() {
    if (removeMonitor_) removeMonitor_();
}

void ShortcutRecorder::setMonitorInstaller(MonitorInstaller installer) { installer_ = std::move(installer); }

void ShortcutRecorder::setState(std::optional<ShortcutAction> active, std::optional<std::string> message) {
    const bool differs = active != active_ || message != message_;
    active_ = active;
    message_ = std::move(message);
    if (differs) Q_EMIT changed();
}

void ShortcutRecorder::removeMonitor() {
    auto remove = std::move(removeMonitor_);
    removeMonitor_ = nullptr;
    if (!remove) return;
    // The monitor's handler may be what is running now; its owner removes it once the handler returns.
    if (inHandler_)
        removeAfterHandler_ = std::move(remove);
    else
        remove();
}

void ShortcutRecorder::record(ShortcutAction action, Accept accept) {
    stop();
    accept_ = std::move(accept);
    setState(action, "Press the new shortcut. Escape cancels.");
    if (!installer_) return;
    // The monitor holds the recorder weakly: a press after the recorder is gone passes through untouched.
    QPointer<ShortcutRecorder> self(this);
    removeMonitor_ = installer_([self](const KeyPress& press) { return self ? self->handleKeyDown(press) : false; });
}

void ShortcutRecorder::stop() {
    removeMonitor();
    accept_ = nullptr;
    setState(std::nullopt, std::nullopt);
}

bool ShortcutRecorder::handleKeyDown(const KeyPress& press) {
    if (!active_) return false;  // a monitor whose removal is still pending
    inHandler_ = true;
    const std::uint64_t flags = press.modifierFlags;
    if (press.keyCode == kEscape && (flags & KeyShortcut::modifierMask) == 0) {
        stop();
    } else if ((flags & kNeedsOneOf) == 0) {
        setState(active_, "Use at least one of Ctrl, Alt or Super, so the shortcut never gets in the way of "
                          "typing.");
    } else {
        const KeyShortcut candidate{press.keyCode, flags & KeyShortcut::modifierMask, keyName(press)};
        const Accept accept = accept_;  // `accept` may start a new recording, replacing the stored one
        const std::optional<std::string> refusal = accept ? accept(candidate) : std::nullopt;
        if (refusal)
            setState(active_, *refusal);
        else
            stop();
    }
    inHandler_ = false;
    if (auto remove = std::move(removeAfterHandler_)) {
        removeAfterHandler_ = nullptr;
        remove();  // last thing of the handler's call (see MonitorInstaller)
    }
    return true;
}

std::string ShortcutRecorder::keyName(const KeyPress& press) {
    if (const auto found = specialKeys().find(press.keyCode); found != specialKeys().end()) return found->second;
    const std::string& characters =
        !press.characters.empty() ? press.characters : press.charactersIgnoringModifiers;
    const QString name = QString::fromUtf8(characters.data(), static_cast<qsizetype>(characters.size()))
                             .trimmed()
                             .toUpper();
    if (name.isEmpty()) return "Key " + std::to_string(press.keyCode);
    return name.toStdString();
}

} // namespace corvane

