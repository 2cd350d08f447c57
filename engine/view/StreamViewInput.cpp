// The stream view's input side: keyboard, mouse, wheel and pointer capture.
#include "engine/view/StreamView.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <string>

#include <QCursor>
#include <QEnterEvent>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QWheelEvent>

#include "engine/EngineLog.hpp"
#include "engine/input/KeyMap.hpp"

namespace corvane::stream {

namespace {

using platform::KeyEvents;

std::int16_t clamp16(double value) {
    return static_cast<std::int16_t>(std::clamp(value, -32768.0, 32767.0));
}

// Command-Q and Command-H are left to the desktop (quit, hide), never sent to the box.
bool isQuitOrHide(const KeyEvents::Event& event) {
    if (!(event.modifierFlags & KeyEvents::commandFlag)) return false;
    std::string characters = event.charactersIgnoringModifiers;
    for (char& c : characters) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return characters == "q" || characters == "h";
}

}  // namespace

void StreamView::sendPacket(Bytes packet) {
    // A copy, so a callback that replaces the hooks does not destroy itself while it runs.
    if (auto send = inputHooks.send) send(std::move(packet));
}

// Keyboard.

void StreamView::sendKeyVK(std::uint16_t vk, bool down, const KeyEvents::Event& event) {
    const InputPacket::Modifiers modifiers = KeyMap::modifiers(event.modifierFlags, inputHooks.commandAsControl);
    if (down)
        inputState.keysDown.insert(vk);
    else
        inputState.keysDown.erase(vk);
    sendPacket(InputPacket::key(vk, down, modifiers));
}

void StreamView::keyDown(const KeyEvents::Event& event) {
    if (auto shortcut = inputHooks.shortcut; shortcut && shortcut(event)) return;
    const auto vk = KeyMap::windowsKey(event.keyCode, inputHooks.commandAsControl);
    if (!vk) return;
    // Auto-repeats each send one more key-down.
    sendKeyVK(*vk, true, event);
}

void StreamView::keyUp(const KeyEvents::Event& event) {
    const auto vk = KeyMap::windowsKey(event.keyCode, inputHooks.commandAsControl);
    if (!vk) return;
    sendKeyVK(*vk, false, event);
}

bool StreamView::performKeyEquivalent(const KeyEvents::Event& event) {
    if (!isActiveWindow() || !hasFocus()) return false;
    if (auto shortcut = inputHooks.shortcut; shortcut && shortcut(event)) return true;
    if (isQuitOrHide(event)) {
        releaseAllInput();
        return false;
    }
    const auto vk = KeyMap::windowsKey(event.keyCode, inputHooks.commandAsControl);
    if (!vk) return true;
    sendKeyVK(*vk, true, event);
    return true;
}

void StreamView::flagsChanged(const KeyEvents::Event& event) {
    const auto down = KeyMap::isModifierDown(event.keyCode, event.modifierFlags);
    if (!down) return;
    const auto vk = KeyMap::windowsKey(event.keyCode, inputHooks.commandAsControl);
    if (!vk) return;
    if (event.keyCode == KeyEvents::capsLockKey) {
        // Windows keeps its own lock state: every change of ours is one press of the key there.
        sendKeyVK(*vk, true, event);
        sendKeyVK(*vk, false, event);
        return;
    }
    sendKeyVK(*vk, *down, event);
}

void StreamView::keyPressEvent(QKeyEvent* event) {
    event->accept();
    keyEvents.syncWithX11State(event->nativeModifiers());
    const auto key = keyEvents.press(event->nativeScanCode(), event->nativeVirtualKey(), event->isAutoRepeat());
    if (!key) return;
    switch (key->type) {
    case KeyEvents::Type::flagsChanged:
        flagsChanged(*key);
        return;
    case KeyEvents::Type::keyUp:
        keyUp(*key);
        return;
    case KeyEvents::Type::keyDown:
        if (key->modifierFlags & KeyEvents::commandFlag) {
            if (performKeyEquivalent(*key)) return;
            if (isQuitOrHide(*key)) {
                // Passed on to the window, which quits or hides as the desktop would; its release is the
                // desktop's too.
                passedOnKey = key->keyCode;
                event->ignore();
                return;
            }
        }
        keyDown(*key);
        return;
    }
}

void StreamView::keyReleaseEvent(QKeyEvent* event) {
    event->accept();
    keyEvents.syncWithX11State(event->nativeModifiers());
    const auto key = keyEvents.release(event->nativeScanCode(), event->nativeVirtualKey(), event->isAutoRepeat());
    if (!key) return;
    if (key->type == KeyEvents::Type::keyUp && passedOnKey == key->keyCode) {
        passedOnKey.reset();
        event->ignore();
        return;
    }
    if (key->type == KeyEvents::Type::flagsChanged)
        flagsChanged(*key);
    else
        keyUp(*key);
}

bool StreamView::focusNextPrevChild(bool) {
    // Tab belongs to the box.
    return false;
}

bool StreamView::event(QEvent* event) {
    switch (event->type()) {
    case QEvent::ShortcutOverride:
        // Every key goes to the box; the owner's shortcuts come through inputHooks.shortcut.
        event->accept();
        return true;
    case QEvent::WindowActivate:
        if (focusWatched_) pointerFocusChanged(true);
        break;
    case QEvent::WindowDeactivate:
        if (focusWatched_) pointerFocusChanged(false);
        break;
    case QEvent::WinIdChange:
        // The view's window was made anew (moved to another window), or is going: the picture's surface
        // follows it.
        ensureSurface();
        break;
    default:
        break;
    }
    return QWidget::event(event);
}

// Mouse.

QPointF StreamView::viewPoint(const QPointF& widgetPosition) const {
    return QPointF(widgetPosition.x(), height() - widgetPosition.y());
}

QRectF StreamView::videoRect() const {
    const double sw = inputHooks.streamSize.width;
    const double sh = inputHooks.streamSize.height;
    const double W = width();
    const double H = height();
    if (sw > 0 && sh > 0 && W > 0 && H > 0) {
        const double scale = std::min(W / sw, H / sh);
        const double w = sw * scale;
        const double h = sh * scale;
        return QRectF((W - w) / 2, (H - h) / 2, w, h);
    }
    return QRectF(0, 0, W, H);
}

void StreamView::sendPosition(const QPointF& widgetPosition) {
    if (inputHooks.mouseMode != MouseMode::absolute) return;
    const QPointF p = viewPoint(widgetPosition);
    updatePointerVisibility(p);
    const QRectF r = videoRect();
    if (!(r.width() > 0) || !(r.height() > 0)) return;
    const double sw = inputHooks.streamSize.width;
    const double sh = inputHooks.streamSize.height;
    // Over the black bars the nearest picture edge is sent; the box's y runs down from the picture's top.
    const double x = std::max(0.0, std::min(std::round(sw * ((p.x() - r.x()) / r.width())), sw - 1));
    const double y = std::max(0.0, std::min(std::round(sh * ((r.y() + r.height() - p.y()) / r.height())), sh - 1));
    sendPacket(InputPacket::mousePosition(clamp16(x), clamp16(y), clamp16(sw), clamp16(sh)));
}

void StreamView::relativeMotion(double dx, double dy) {
    if (inputHooks.mouseMode != MouseMode::relative || !inputState.captured) return;
    inputState.pendingDX += dx;
    inputState.pendingDY += dy;
    const double ix = std::trunc(inputState.pendingDX);
    const double iy = std::trunc(inputState.pendingDY);
    if (ix == 0 && iy == 0) return;  // the fractions wait for the next motion
    inputState.pendingDX -= ix;
    inputState.pendingDY -= iy;
    sendPacket(InputPacket::mouseMove(clamp16(ix), clamp16(iy)));
}

void StreamView::sendButton(InputPacket::MouseButton button, bool down) {
    if (inputHooks.mouseMode == MouseMode::relative && !inputState.captured) return;
    const auto raw = static_cast<std::uint8_t>(button);
    if (down) {
        inputState.buttonsDown.insert(raw);
    } else if (inputState.buttonsDown.erase(raw) == 0) {
        return;  // no button-up without its button-down
    }
    sendPacket(InputPacket::mouseButton(button, down));
}

void StreamView::mouseMoveEvent(QMouseEvent* event) {
    // Hover motion counts only in the active window; drags always do. Relative motion comes from the
    // pointer capture's raw events, not from here.
    if (event->buttons() == Qt::NoButton && !isActiveWindow()) return;
    sendPosition(event->position());
}

void StreamView::mousePressEvent(QMouseEvent* event) {
    using InputPacket::MouseButton;
    switch (event->button()) {
    case Qt::LeftButton:
        setFocus(Qt::MouseFocusReason);
        if (!inputState.firstClickLogged) {
            inputState.firstClickLogged = true;
            EngineLog::write(inputHooks.mouseMode == MouseMode::relative ? "input: first click (games mode)"
                                                                         : "input: first click (desktop mode)");
        }
        if (inputHooks.mouseMode == MouseMode::relative && !inputState.captured) {
            capturePointer();  // this click only captures
            return;
        }
        sendPosition(event->position());
        sendButton(MouseButton::left, true);
        return;
    case Qt::RightButton:
        sendPosition(event->position());
        sendButton(MouseButton::right, true);
        return;
    case Qt::MiddleButton:
        sendPosition(event->position());
        sendButton(MouseButton::middle, true);
        return;
    case Qt::BackButton:
        sendPosition(event->position());
        sendButton(MouseButton::x1, true);
        return;
    case Qt::ForwardButton:
        sendPosition(event->position());
        sendButton(MouseButton::x2, true);
        return;
    default:
        return;
    }
}

void StreamView::mouseReleaseEvent(QMouseEvent* event) {
    using InputPacket::MouseButton;
    switch (event->button()) {
    case Qt::LeftButton:
        sendButton(MouseButton::left, false);
        return;
    case Qt::RightButton:
        sendButton(MouseButton::right, false);
        return;
    case Qt::MiddleButton:
        sendButton(MouseButton::middle, false);
        return;
    case Qt::BackButton:
        sendButton(MouseButton::x1, false);
        return;
    case Qt::ForwardButton:
        sendButton(MouseButton::x2, false);
        return;
    default:
        return;
    }
}

void StreamView::wheelEvent(QWheelEvent* event) {
    event->accept();
    // Precise deltas (touchpads) are pixels; a classic wheel reports 120 per notch, one line.
    const bool precise = !event->pixelDelta().isNull();
    const double deltaX = precise ? event->pixelDelta().x() : event->angleDelta().x() / 120.0;
    const double deltaY = precise ? event->pixelDelta().y() : event->angleDelta().y() / 120.0;
    const double scale = precise ? 12 : 120;
    inputState.scrollY += deltaY * scale;
    inputState.scrollX -= deltaX * scale;  // Windows' horizontal wheel runs the other way
    const double iy = std::trunc(inputState.scrollY);
    if (std::abs(iy) >= 1) {
        inputState.scrollY -= iy;
        sendPacket(InputPacket::scroll(clamp16(iy)));
    }
    const double ix = std::trunc(inputState.scrollX);
    if (std::abs(ix) >= 1) {
        inputState.scrollX -= ix;
        sendPacket(InputPacket::horizontalScroll(clamp16(ix)));
    }
}

void StreamView::enterEvent(QEnterEvent* event) {
    QWidget::enterEvent(event);
    if (isActiveWindow()) updatePointerVisibility(viewPoint(event->position()));
}

void StreamView::leaveEvent(QEvent* event) {
    QWidget::leaveEvent(event);
    updatePointerVisibility(std::nullopt);
}

// The desktop pointer.

void StreamView::setPointerHidden(bool hoverHidden, bool captureHidden) {
    // Two separate hides, each undone by its own show.
    hoverHidden_ = hoverHidden;
    captureHidden_ = captureHidden;
    if (hoverHidden_ || captureHidden_)
        setCursor(Qt::BlankCursor);
    else
        unsetCursor();
}

void StreamView::updatePointerVisibility(std::optional<QPointF> point) {
    if (inputHooks.mouseMode == MouseMode::absolute && isActiveWindow() && point) {
        const QRectF r = videoRect();
        const bool inside = point->x() >= r.x() && point->x() < r.x() + r.width() && point->y() >= r.y() &&
                            point->y() < r.y() + r.height();
        if (inside) {
            if (!inputState.macPointerHidden) {
                setPointerHidden(true, captureHidden_);
                inputState.macPointerHidden = true;
                const bool active = QGuiApplication::applicationState() == Qt::ApplicationActive;
                EngineLog::write(std::string("input: Mac pointer hidden over the picture (app active ") +
                                 (active ? "true" : "false") + ")");
            }
            return;
        }
    }
    if (inputState.macPointerHidden) {
        setPointerHidden(false, captureHidden_);
        inputState.macPointerHidden = false;
        EngineLog::write("input: Mac pointer shown");
    }
}

void StreamView::pointerFocusChanged(bool gained) {
    if (!gained) {
        updatePointerVisibility(std::nullopt);
        return;
    }
    updatePointerVisibility(viewPoint(mapFromGlobal(QCursor::pos()).toPointF()));
}

void StreamView::watchFocusForPointer() {
    // The window's own activation reaches the view as WindowActivate and WindowDeactivate (see event());
    // the application's comes from here. Both hold the view only for as long as it lives.
    connect(qGuiApp, &QGuiApplication::applicationStateChanged, this,
            [this](Qt::ApplicationState state) { pointerFocusChanged(state == Qt::ApplicationActive); });
}

// Capture.

void StreamView::capturePointer() {
    if (inputState.captured) return;
    inputState.captured = true;
    const int code = pointerCapture.capture(*this, [this](double dx, double dy) { relativeMotion(dx, dy); });
    setPointerHidden(hoverHidden_, true);
    EngineLog::write(code == 0 ? std::string("input: pointer captured (ok)")
                               : "input: pointer captured (error " + std::to_string(code) + ")");
    if (auto changed = inputHooks.onCaptureChanged) changed(true);
}

void StreamView::releasePointer() {
    if (!inputState.captured) return;
    inputState.captured = false;
    pointerCapture.release();
    setPointerHidden(hoverHidden_, false);
    EngineLog::write("input: pointer released");
    if (auto changed = inputHooks.onCaptureChanged) changed(false);
}

void StreamView::releaseAllInput() {
    // Taken out first, so a callback that re-enters finds nothing left to release.
    const auto keys = std::exchange(inputState.keysDown, {});
    for (const std::uint16_t vk : keys) sendPacket(InputPacket::key(vk, false, InputPacket::Modifiers{}));
    const auto buttons = std::exchange(inputState.buttonsDown, {});
    for (const std::uint8_t raw : buttons)
        if (const auto button = InputPacket::mouseButtonFromRaw(raw)) sendPacket(InputPacket::mouseButton(*button, false));
    releasePointer();
    updatePointerVisibility(std::nullopt);
}

}  // namespace corvane::stream
