#include "app/window/CaptureHint.hpp"

#include <cmath>
#include <memory>

#include <QGraphicsOpacityEffect>
#include <QLabel>
#include <QPainter>
#include <QPropertyAnimation>

#include "app/services/Log.hpp"
#include "app/window/OverlayPanel.hpp"
#include "app/window/OverlayStyle.hpp"
#include "app/window/StreamWindow.hpp"

namespace corvane {

namespace {

// The pill keeps itself at the top centre of its parent whenever the parent changes size. It paints its own
// background, opaque, with the border inside its rounded outline (OverlayPanel clips it to that outline).
class Pill final : public QLabel {
public:
    explicit Pill(QWidget* parent) : QLabel(parent) { parent->installEventFilter(this); }
    std::function<void()> onParentResized;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched == parent() && event->type() == QEvent::Resize && onParentResized) onParentResized();
        return false;
    }
    void paintEvent(QPaintEvent* event) override {
        {
            QPainter painter(this);
            painter.fillRect(rect(), OverlayStyle::panel);
            painter.setRenderHint(QPainter::Antialiasing);
            painter.setPen(QPen(OverlayStyle::border, 1));
            const double radius = height() / 2.0;
            painter.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), radius - 0.5, radius - 0.5);
        }
        QLabel::paintEvent(event);
    }
};

}  // namespace

void CaptureHint::show(QWidget& over, const std::string& text) {
    hide();
    auto* pill = new Pill(&over);
    pill->setAttribute(Qt::WA_TransparentForMouseEvents);
    pill->setTextFormat(Qt::PlainText);
    pill->setText(QString::fromStdString(text));
    QFont font = pill->font();
    font.setPixelSize(13);
    font.setWeight(QFont::Medium);
    pill->setFont(font);
    pill->adjustSize();
    const QSize label = pill->sizeHint();
    const int width = label.width() + 28;
    const int height = label.height() + 14;
    pill->setFixedSize(width, height);
    pill->setAlignment(Qt::AlignCenter);
    pill->setStyleSheet(QStringLiteral("color: white; background: transparent;"));
    panel_ = pill;
    parent_ = &over;
    pill->onParentResized = [this] { place(); };
    place();
    OverlayPanel::placeOverPicture(*pill, height / 2.0);
    // Over the overlay's card and the transfer panel too: it says how to get the pointer back.
    OverlayPanel::keepOnTop(*pill);
    pill->show();

    const QRect window = over.window()->frameGeometry();
    const QRectF panelFrame = StreamWindow::screenRect(QRectF(QRect(over.mapToGlobal(pill->pos()), pill->size())));
    Log::write("engine: release hint shown at " + StreamWindow::describe(panelFrame) + " over window " +
               StreamWindow::describe(StreamWindow::screenRect(QRectF(window))) + ", visible " +
               (pill->isVisible() ? "true" : "false"));
    const std::weak_ptr<int> alive = alive_;
    fadeLater(alive, ++generation_);
}

void CaptureHint::place() {
    if (!panel_ || !parent_) return;
    const QRect content = parent_->rect();
    const int x = static_cast<int>(std::round(content.center().x() + 0.5 - panel_->width() / 2.0));
    panel_->move(x, content.top() + 16);
}

QCoro::Task<> CaptureHint::fadeLater(std::weak_ptr<int> alive, std::uint64_t generation) {
    co_await clock_.sleep(3.0);
    if (alive.expired()) co_return;
    if (generation != generation_ || !panel_) co_return;
    QPointer<QWidget> pill = panel_;
    if (OverlayPanel::fadeOverPicture(*pill, 0.4)) {
        // The picture fades the pill's look away; the pill itself is gone already.
        hide();
        co_return;
    }
    auto* effect = new QGraphicsOpacityEffect(pill);
    pill->setGraphicsEffect(effect);
    auto* animation = new QPropertyAnimation(effect, "opacity", pill);
    animation->setDuration(400);
    animation->setStartValue(1.0);
    animation->setEndValue(0.0);
    QObject::connect(animation, &QPropertyAnimation::finished, pill, [this, alive, pill, generation] {
        if (alive.expired()) return;
        // A newer pill shown meanwhile is left alone.
        if (generation == generation_ && panel_ == pill) hide();
    });
    animation->start();
}

void CaptureHint::hide() {
    ++generation_;
    if (panel_) {
        panel_->hide();
        panel_->deleteLater();
    }
    panel_.clear();
    parent_.clear();
}

}  // namespace corvane
