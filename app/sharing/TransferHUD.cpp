#include "app/sharing/TransferHUD.hpp"

#include "app/services/Clock.hpp"
#include "app/window/OverlayPanel.hpp"
#include "app/window/OverlayStyle.hpp"
#include "app/window/StreamWindow.hpp"

#include <QCoroTask>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QProgressBar>
#include <QScreen>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

namespace corvane {

namespace {

constexpr int kWidth = 340;
constexpr int kInset = 16;
constexpr int kAboveBottom = 24;
// The pill shows two lines; a title may carry a box's error text of any length, which is cut first so that
// laying it out never costs the main thread.
constexpr std::size_t kMaxTitleBytes = 500;

std::string shortened(const std::string& text) {
    if (text.size() <= kMaxTitleBytes) return text;
    std::size_t end = kMaxTitleBytes;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
    return text.substr(0, end) + "\u2026";
}

// The height of the title's two lines in `font`, the last one with its descenders.
int twoLines(const QFont& font) {
    return QFontMetrics(font).boundingRect(QRect(0, 0, 1 << 20, 1 << 20), 0, QStringLiteral("x\nx")).height();
}

// The title as the pill's two lines of `width` hold it: while it needs more, the widest of its names (found
// in `title` in their order) is shortened in the middle, down to a few characters.
QString fittedTitle(const QString& title, const std::vector<std::string>& names, const QFont& font, int width) {
    const QFontMetrics metrics(font);
    const auto fits = [&](const QString& text) {
        const QRect needs = metrics.boundingRect(QRect(0, 0, width, 1 << 20), Qt::TextWordWrap, text);
        return needs.width() <= width && needs.height() <= twoLines(font);
    };
    struct Part {
        qsizetype at;
        QString whole, shown;
    };
    std::vector<Part> parts;
    qsizetype from = 0;
    for (const std::string& name : names) {
        const QString whole = QString::fromStdString(name);
        const qsizetype at = whole.isEmpty() ? -1 : title.indexOf(whole, from);
        if (at < 0) continue;
        parts.push_back({at, whole, whole});
        from = at + whole.size();
    }
    const auto joined = [&] {
        QString text;
        qsizetype done = 0;
        for (const Part& part : parts) {
            text += title.mid(done, part.at - done) + part.shown;
            done = part.at + part.whole.size();
        }
        return text + title.mid(done);
    };
    const int shortest = metrics.horizontalAdvance(QString(6, 'x'));
    for (QString text = title; !fits(text); text = joined()) {
        Part* widest = nullptr;
        int now = 0;
        for (Part& part : parts)
            if (const int wide = metrics.horizontalAdvance(part.shown); wide > now) now = wide, widest = &part;
        if (now <= shortest) return text;  // nothing left to shorten: the label cuts what remains
        const int target = std::max(shortest, std::min(now - 1, now * 3 / 4));
        widest->shown = metrics.elidedText(widest->whole, Qt::ElideMiddle, target);
    }
    return joined();
}

constexpr Qt::WindowFlags kFloating = Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint |
                                      Qt::WindowDoesNotAcceptFocus | Qt::WindowTransparentForInput;

// The status icon, drawn here so that it looks the same on every desktop.
class PillIcon final : public QWidget {
public:
    explicit PillIcon(QWidget* parent) : QWidget(parent) {
        setFixedSize(16, 16);
        setStyleSheet("background: transparent;");
    }
    enum class Kind { transfer, done, failed };
    void setKind(Kind kind) {
        kind_ = kind;
        update();
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        const QRectF r(1, 1, 14, 14);
        if (kind_ == Kind::failed) {
            QPainterPath triangle;
            triangle.moveTo(8, 1);
            triangle.lineTo(15, 15);
            triangle.lineTo(1, 15);
            triangle.closeSubpath();
            p.fillPath(triangle, QColor(255, 149, 0));
            p.setPen(QPen(Qt::black, 2));
            p.drawLine(QPointF(8, 6), QPointF(8, 10));
            p.drawPoint(QPointF(8, 13));
            return;
        }
        p.setPen(Qt::NoPen);
        p.setBrush(kind_ == Kind::done ? QColor(52, 199, 89) : QColor(Qt::white));
        p.drawEllipse(r);
        p.setPen(QPen(kind_ == Kind::done ? QColor(Qt::white) : QColor(Qt::black), 1.6));
        if (kind_ == Kind::done) {
            p.drawPolyline(QPolygonF({QPointF(4.5, 8), QPointF(7, 10.5), QPointF(11.5, 5.5)}));
        } else {
            p.drawLine(QPointF(4, 6), QPointF(12, 6));
            p.drawLine(QPointF(10, 4), QPointF(12, 6));
            p.drawLine(QPointF(4, 10), QPointF(12, 10));
            p.drawLine(QPointF(4, 10), QPointF(6, 12));
        }
    }

private:
    Kind kind_ = Kind::transfer;
};

// The view: re-reads the HUD whenever it changes and holds nothing of its own. Made for one place: in
// `over` (the stream window), as a panel over the picture, or floating on the desktop when that is null.
// The two need X windows of different kinds, and a window keeps the kind it was made with: the HUD makes a
// new pill when the place changes.
class TransferPill final : public QWidget {
public:
    TransferPill(TransferHUD& hud, QWidget* over) : QWidget(over), hud_(hud) {
        // Floating, it is a translucent window of its own. Over the picture it must never be: put in the
        // stream window it becomes a native window at once (that window's children all are, the stream view
        // being one), and one made translucent gets an alpha visual that the window's backing store cannot
        // draw into, so the picture's pixels would stay where it is.
        if (!over) {
            setAttribute(Qt::WA_TranslucentBackground);
            setWindowFlags(kFloating);
        } else {
            setAttribute(Qt::WA_OpaquePaintEvent);
        }
        setAttribute(Qt::WA_TransparentForMouseEvents);
        setAttribute(Qt::WA_ShowWithoutActivating);
        setFocusPolicy(Qt::NoFocus);
        setFixedWidth(kWidth);
        auto* column = new QVBoxLayout(this);
        column->setContentsMargins(14, 10, 14, 10);
        column->setSpacing(6);
        auto* top = new QHBoxLayout;
        top->setSpacing(8);
        icon_ = new PillIcon(this);
        title_ = new QLabel(this);
        title_->setTextFormat(Qt::PlainText);  // names from the box show as typed
        title_->setWordWrap(true);
        QFont font = title_->font();
        font.setPixelSize(13);
        font.setWeight(QFont::Medium);
        title_->setFont(font);
        title_->setStyleSheet("color: white; background: transparent;");
        title_->setMaximumHeight(twoLines(font));
        top->addWidget(icon_, 0, Qt::AlignVCenter);
        top->addWidget(title_, 1);
        column->addLayout(top);
        barRow_ = new QWidget(this);
        barRow_->setAttribute(Qt::WA_TranslucentBackground);
        barRow_->setStyleSheet("background: transparent;");  // whatever the stream window's style says
        auto* bottom = new QHBoxLayout(barRow_);
        bottom->setContentsMargins(0, 0, 0, 0);
        bottom->setSpacing(8);
        bar_ = new QProgressBar(barRow_);
        bar_->setRange(0, 1000);
        bar_->setTextVisible(false);
        bar_->setMaximumHeight(6);
        bar_->setStyleSheet("QProgressBar { background: rgba(255,255,255,60); border: none; border-radius: 3px; }"
                            "QProgressBar::chunk { background: white; border-radius: 3px; }");
        percent_ = new QLabel(barRow_);
        percent_->setTextFormat(Qt::PlainText);
        QFont small = font;
        small.setPixelSize(12);  // 11 raised: no text of the app is smaller than 9 points
        small.setStyleHint(QFont::Monospace);
        percent_->setFont(small);
        percent_->setStyleSheet("color: rgba(255,255,255,217); background: transparent;");
        // Room for the widest figure from the start: the row is laid out again only later, and a figure
        // drawn in the room of a narrower one loses its right side ("15%" read "15º").
        const QFontMetrics figures(small);
        percent_->setFixedSize(std::max(figures.horizontalAdvance("100%"), figures.boundingRect("100%").right() + 1) + 1,
                               figures.height());
        percent_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        bottom->addWidget(bar_, 1);
        bottom->addWidget(percent_);
        column->addWidget(barRow_);
        QObject::connect(&hud_, &TransferHUD::changed, this, [this] { sync(); });
        sync();
    }

    void sync() {
        // The label's room: the pill less its insets, the icon and the gap after it.
        const int room = kWidth - 2 * 14 - icon_->width() - 8;
        title_->setText(fittedTitle(QString::fromStdString(hud_.title()), hud_.names(), title_->font(), room));
        icon_->setKind(hud_.failed() ? PillIcon::Kind::failed
                       : hud_.progress() ? PillIcon::Kind::transfer
                                         : PillIcon::Kind::done);
        barRow_->setVisible(hud_.progress().has_value());
        if (const auto p = hud_.progress()) {
            bar_->setValue(static_cast<int>(std::lround(*p * 1000)));
            percent_->setText(QString::number(std::lround(*p * 100)) + "%");
        }
        adjustSize();
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        if (parentWidget()) {
            // Over the picture nothing shows through a window of its own: opaque to the edge, the outline's
            // mask cuts the corners.
            p.fillRect(rect(), OverlayStyle::panel);
            return;
        }
        p.setRenderHint(QPainter::Antialiasing);
        QPainterPath shape;
        shape.addRoundedRect(QRectF(rect()), 12, 12);
        p.fillPath(shape, QColor(0, 0, 0, 184));
    }

private:
    TransferHUD& hud_;
    PillIcon* icon_;
    QLabel* title_;
    QWidget* barRow_;
    QProgressBar* bar_;
    QLabel* percent_;
};

} // namespace

TransferHUD::TransferHUD(Clock& clock, QObject* parent) : QObject(parent), clock_(clock) {}

TransferHUD::~TransferHUD() { delete pill_.data(); }

bool TransferHUD::visible() const { return pill_ && pill_->isVisible(); }

void TransferHUD::show(const std::string& title, std::optional<double> progress, std::vector<std::string> names) {
    title_ = shortened(title);
    names_ = std::move(names);
    progress_ = progress ? std::optional(std::clamp(*progress, 0.0, 1.0)) : std::nullopt;
    failed_ = false;
    hideAt_.reset();
    Q_EMIT changed();
    present();
}

void TransferHUD::setProgress(double value) {
    if (!(value == value)) return;
    progress_ = std::min(std::max(progress_.value_or(0.0), value), 1.0);
    Q_EMIT changed();
}

void TransferHUD::finish(const std::string& text, bool failed, std::vector<std::string> names) {
    title_ = shortened(text);
    names_ = std::move(names);
    progress_.reset();
    failed_ = failed;
    hideAt_ = clock_.uptime() + (failed ? kHideAfterFailure : kHideAfterSuccess);
    Q_EMIT changed();
    present();
}

void TransferHUD::present() {
    place();
    if (ticking_) return;
    ticking_ = true;
    [](QPointer<TransferHUD> self, Clock& clock) -> QCoro::Task<> {
        for (;;) {
            co_await clock.sleep(kTick);
            if (!self || !self->tick()) break;
        }
        if (self) self->ticking_ = false;
    }(this, clock_);
}

void TransferHUD::place() {
    // The stream window as the window list finds it; it is ours, so its widget takes the pill as a child.
    const auto stream = streamPID ? StreamWindow::find(*streamPID) : std::nullopt;
    QWidget* window = stream ? QWidget::find(static_cast<WId>(stream->id)) : nullptr;
    if (window && !window->isVisible()) window = nullptr;
    const auto* screen = QGuiApplication::primaryScreen();
    if (!window && !screen) return;
    // A pill of its own for each place (the view keeps nothing, so the change does not show). One in the
    // stream window goes with it when the window goes; the next tick makes one for the top right.
    if (!pill_ || pill_->parentWidget() != window) {
        delete pill_.data();
        pill_ = new TransferPill(*this, window);
    }
    pill_->adjustSize();
    const QSize size = pill_->sizeHint().expandedTo(QSize(kWidth, 0));
    if (window) {
        // Centred on the window, bottom edge 24 above the window's: reckoned from the bottom of the screen.
        const QRectF frame = StreamWindow::screenRect(stream->bounds);
        const QRectF above(frame.center().x() - size.width() / 2.0, frame.y() + kAboveBottom, size.width(), size.height());
        pill_->setGeometry(QRect(window->mapFromGlobal(StreamWindow::screenRect(above).topLeft().toPoint()), size));
        // Over the stream's picture: a native panel of its own, clipped to its outline, raised above it.
        OverlayPanel::placeOverPicture(*pill_, 12);
        pill_->show();
        return;
    }
    const QRect area = screen->availableGeometry();
    pill_->setGeometry(area.right() + 1 - size.width() - kInset, area.top() + kInset, size.width(), size.height());
    // Without a compositor the translucent corners would show black.
    QPainterPath shape;
    shape.addRoundedRect(QRectF(0, 0, size.width(), size.height()), 12, 12);
    pill_->setMask(QRegion(shape.toFillPolygon().toPolygon()));
    pill_->show();
}

bool TransferHUD::tick() {
    if (hideAt_ && clock_.uptime() >= *hideAt_) {
        if (pill_) pill_->hide();
        hideAt_.reset();
        return false;
    }
    place();
    return true;
}

} // namespace corvane
