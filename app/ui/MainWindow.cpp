#include "app/ui/MainWindow.hpp"

#include "app/controller/AppLaunch.hpp"
#include "app/controller/BoxController.hpp"
#include "app/services/StreamSettings.hpp"
#include "app/updates/UpdateManager.hpp"
#include "app/ui/BoxStatusCard.hpp"
#include "app/ui/Card.hpp"
#include "app/ui/Contrast.hpp"
#include "app/ui/Look.hpp"
#include "app/ui/PlainText.hpp"
#include "app/ui/ElidedLabel.hpp"
#include "app/ui/ScreenFit.hpp"
#include "app/ui/StatusText.hpp"
#include "app/ui/Shown.hpp"
#include "app/ui/Spinner.hpp"
#include "app/ui/Symbols.hpp"
#include "app/ui/TextStyle.hpp"
#include "app/ui/TrayMenu.hpp"
#include "app/ui/UpdateBanner.hpp"

#include <QApplication>
#include <QFrame>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QScrollArea>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>

namespace corvane {

MainWindow::MainWindow(BoxController& box, QWidget* parent) : QWidget(parent), box_(box) {
    setObjectName("main");
    setWindowTitle("Corvane");
    setWindowIcon(Symbols::appIcon());
    Look::keepReadable();
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    // The content keeps its 440 wide column and scrolls when the screen is shorter than it.
    content_ = new QWidget;
    content_->setObjectName("mainContent");
    content_->setMinimumWidth(kWidth);
    scroll_ = ScreenFit::scrollArea(content_);
    scroll_->setObjectName("mainScroll");
    outer->addWidget(scroll_);
    auto* column = new QVBoxLayout(content_);
    column->setSpacing(0);
    column->setContentsMargins(0, 0, 0, 0);

    auto* header = new QHBoxLayout;
    header->setContentsMargins(24, 14, 24, 14);
    header->setSpacing(10);
    icon_ = new QLabel(this);
    icon_->setObjectName("headerIcon");
    header->addWidget(icon_);
    auto* titles = new QVBoxLayout;
    titles->setSpacing(1);
    auto* name = new QLabel("Corvane", this);
    setTextStyle(name, TextStyle::headline);
    titles->addWidget(name);
    subtitle_ = new ElidedLabel(Qt::ElideRight, this);
    subtitle_->setObjectName("subtitle");
    setTextStyle(subtitle_, TextStyle::caption);
    setSecondary(subtitle_);
    titles->addWidget(subtitle_);
    header->addLayout(titles);
    header->addStretch();
    auto* settings = settings_ = new QToolButton(this);
    settings->setObjectName("settingsButton");
    settings->setAutoRaise(true);
    settings->setToolTip("Settings");
    settings->setIconSize(QSize(20, 20));
    connect(settings, &QToolButton::clicked, this, [this] {
        if (openSettings) openSettings();
    });
    header->addWidget(settings);
    column->addLayout(header);

    column->addWidget(new UpdateBanner(box_.updates(), this));

    auto* divider = new QFrame(this);
    divider->setFrameShape(QFrame::HLine);
    divider->setFrameShadow(QFrame::Sunken);
    column->addWidget(divider);

    auto* body = new QVBoxLayout;
    body->setContentsMargins(24, 24, 24, 24);
    body->setSpacing(20);
    auto* card = new QVBoxLayout;
    card->setSpacing(10);
    badge_ = new QLabel(this);
    badge_->setObjectName("badge");
    badge_->setFixedSize(76, 76);
    badge_->setAlignment(Qt::AlignCenter);
    auto* badgeLayout = new QVBoxLayout(badge_);
    spinner_ = new Spinner(36, badge_);
    spinner_->setObjectName("spinner");
    badgeLayout->addWidget(spinner_, 0, Qt::AlignCenter);
    card->addWidget(badge_, 0, Qt::AlignHCenter);
    title_ = PlainText::label(this);
    title_->setObjectName("title");
    title_->setAlignment(Qt::AlignHCenter);
    setTextStyle(title_, TextStyle::title3, QFont::DemiBold);
    card->addWidget(title_);
    detail_ = PlainText::label(this);
    detail_->setObjectName("detail");
    detail_->setAlignment(Qt::AlignHCenter);
    detail_->setWordWrap(true);
    setTextStyle(detail_, TextStyle::callout);
    setSecondary(detail_);
    card->addWidget(detail_);
    body->addLayout(card);

    auto* checklist = new Card(Look::Fill::card, false, this);
    checklist->setObjectName("checklist");
    auto* checkColumn = new QVBoxLayout(checklist);
    checkColumn->setContentsMargins(14, 14, 14, 14);
    checkColumn->setSpacing(8);
    for (int i = 0; i < 4; ++i) {
        auto* row = new QHBoxLayout;
        row->setSpacing(8);
        checkIcons_[i] = new QLabel(checklist);
        checks_[i] = PlainText::label(checklist);
        checks_[i]->setObjectName(QString("check%1").arg(i));
        setTextStyle(checks_[i], TextStyle::callout);
        row->addWidget(checkIcons_[i]);
        row->addWidget(checks_[i], 1);
        checkColumn->addLayout(row);
    }
    body->addWidget(checklist);

    boxCard_ = new BoxStatusCard(this);
    body->addWidget(boxCard_);

    action_ = new QPushButton(this);
    action_->setObjectName("action");
    action_->setMinimumHeight(32);
    connect(action_, &QPushButton::clicked, this, &MainWindow::act);
    body->addWidget(action_);
    column->addLayout(body);

    connect(&box_, &BoxController::changed, this, &MainWindow::sync);
    // The update banner follows the update manager on its own; the window then fits its new height.
    connect(&box_.updates(), &UpdateManager::changed, this, &MainWindow::fit);
    Look::onChange(this, [this] { sync(); });
    sync();
}

void MainWindow::fit() {
    const int menu = layout()->menuBar() ? layout()->menuBar()->sizeHint().height() : 0;
    ScreenFit::fit(*this, *scroll_, kWidth, QSize(0, menu));
}

bool MainWindow::trayShown() const { return tray_ && tray_->shown(); }

void MainWindow::showAndActivate() {
    show();
    raise();
    activateWindow();
}

void MainWindow::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    // Once framed, the frame's real size is known.
    QTimer::singleShot(0, this, [this] { fit(); });
    if (!AppLaunch::atLogin) return;
    // A login start waits in the tray; without a tray the window stays, or there would be no way back.
    AppLaunch::atLogin = false;
    if (trayShown()) QTimer::singleShot(0, this, [this] { close(); });
}

void MainWindow::keyPressEvent(QKeyEvent* event) {
    const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
    if (enter && action_->isVisible() && action_->isDefault() && action_->isEnabled()) {
        action_->click();
        return;
    }
    QWidget::keyPressEvent(event);
}

void MainWindow::sync() {
    // Plain symbols take the text colour, so they stay visible in either look.
    const QColor buttonText = palette().color(QPalette::ButtonText);
    if (showsNew(settings_, buttonText.name(QColor::HexArgb)))
        settings_->setIcon(Symbols::icon("gearshape", buttonText));
    const int iconSize = QFontMetrics(textFont(TextStyle::title2)).height();
    const QColor accent = tintColor(Tint::accent);
    if (showsNew(icon_, accent.name(QColor::HexArgb) + QString::number(devicePixelRatio())))
        icon_->setPixmap(Symbols::icon("cable.connector.horizontal", accent).pixmap(iconSize, iconSize));
    using Kind = BoxController::Phase::Kind;
    subtitle_->setWholeText(box_.boxName() ? "Connected to " + PlainText::cut(*box_.boxName(), 80)
                                      : QString("Windows gaming over Thunderbolt"));
    const StatusText status(box_.phase(), box_.settings());
    const QColor tint = StatusText::color(status.tint);
    // The badge is drawn, not styled: a style sheet per redraw would re-polish the whole window.
    const QString badgeKey = QString("%1 %2 %3 %4 %5")
                                 .arg(QString::fromStdString(status.symbol), tint.name(QColor::HexArgb),
                                      palette().color(QPalette::Window).name())
                                 .arg(status.spinning)
                                 .arg(devicePixelRatio());
    if (showsNew(badge_, badgeKey)) {
        QPixmap badge(76 * devicePixelRatio(), 76 * devicePixelRatio());
        badge.setDevicePixelRatio(devicePixelRatio());
        badge.fill(Qt::transparent);
        {
            QPainter painter(&badge);
            painter.setRenderHint(QPainter::Antialiasing);
            QColor fill = tint;
            fill.setAlphaF(0.15f);
            painter.setPen(Qt::NoPen);
            painter.setBrush(fill);
            painter.drawEllipse(QRectF(0, 0, 76, 76));
            // The symbol stands out from the badge it sits on, not only from the window.
            const QColor ink = Contrast::atLeast(tint, {Contrast::over(fill, palette().color(QPalette::Window))}, 3.2);
            if (!status.spinning) painter.drawPixmap(22, 22, Symbols::icon(status.symbol, ink).pixmap(32, 32));
        }
        badge_->setPixmap(badge);
    }
    spinner_->setVisible(status.spinning);
    title_->setText(QString::fromStdString(status.title));
    detail_->setText(PlainText::cut(status.detail));
    detail_->setVisible(!status.detail.empty());

    const std::pair<const char*, bool> rows[] = {
        {"Streaming engine installed", true},
        {"Thunderbolt link connected", box_.linkUp()},
        {"Box found", box_.boxFound()},
        {"Paired with this computer", box_.paired()},
    };
    for (int i = 0; i < 4; ++i) {
        const bool done = rows[i].second;
        const QColor symbolColor = done ? tintColor(Tint::green) : tintColor(Tint::secondary);
        if (showsNew(checkIcons_[i], symbolColor.name(QColor::HexArgb) + (done ? " done" : "")))
            checkIcons_[i]->setPixmap(Symbols::icon(done ? "checkmark.circle.fill" : "circle", symbolColor).pixmap(14, 14));
        checks_[i]->setText(rows[i].first);
        if (checks_[i]->property("done") != QVariant(done)) checks_[i]->setProperty("done", done);
        setSecondary(checks_[i], !done);
    }

    boxCard_->setVisible(box_.boxStatus().has_value());
    if (box_.boxStatus()) boxCard_->show(*box_.boxStatus());

    const Kind kind = box_.phase().kind;
    struct Action {
        const char* title;
        const char* symbol;
        bool prominent;
        bool enabled;
    };
    std::optional<Action> action;
    if (kind == Kind::ready) action = Action{"Open Windows", "macwindow", true, true};
    if (kind == Kind::streaming) action = Action{"Close Windows session", "xmark.circle", false, true};
    if (kind == Kind::needsNetworkSetup) action = Action{"Set up Thunderbolt link", "network", true, !box_.working()};
    if (kind == Kind::cableNoAddress) action = Action{"Connect directly", "cable.connector", true, !box_.working()};
    if (kind == Kind::failed) action = Action{"Try Again", "arrow.clockwise", true, true};
    action_->setVisible(action.has_value());
    if (action) {
        action_->setText(PlainText::mnemonicSafe(action->title));
        if (showsNew(action_, action->symbol + (" " + buttonText.name(QColor::HexArgb))))
            action_->setIcon(Symbols::icon(action->symbol, buttonText));
        action_->setEnabled(action->enabled);
        action_->setDefault(kind == Kind::ready);
        if (action_->property("prominent") != QVariant(action->prominent)) action_->setProperty("prominent", action->prominent);
        if (action_->font().bold() != action->prominent) {
            QFont font = action_->font();
            font.setBold(action->prominent);
            action_->setFont(font);
        }
    }
    fit();
}

void MainWindow::act() {
    using Kind = BoxController::Phase::Kind;
    switch (box_.phase().kind) {
    case Kind::ready:
        if (box_.paired()) box_.openEngineWindow();
        break;
    case Kind::streaming: box_.closeSession(); break;
    case Kind::needsNetworkSetup: box_.fixNetwork(); break;
    case Kind::cableNoAddress: box_.connectManually(); break;
    case Kind::failed: box_.tryAgain(); break;
    default: break;
    }
}

} // namespace corvane
