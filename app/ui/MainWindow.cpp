#include "app/ui/MainWindow.hpp"

#include "app/controller/BoxController.hpp"
#include "app/ui/StatusText.hpp"
#include "app/ui/Symbols.hpp"

#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

namespace corvane {
namespace {

QLabel* plainLabel(QWidget* parent, Qt::Alignment alignment = Qt::AlignLeft) {
    auto* label = new QLabel(parent);
    label->setTextFormat(Qt::PlainText);  // box names and failure texts are never markup
    label->setAlignment(alignment);
    return label;
}

QString escapedMnemonics(const std::string& text) { return QString::fromStdString(text).replace("&", "&&"); }

} // namespace

MainWindow::MainWindow(BoxController& box, QWidget* parent) : QWidget(parent), box_(box) {
    setObjectName("main");
    setWindowTitle("Corvane");
    setFixedWidth(440);
    auto* column = new QVBoxLayout(this);
    column->setSpacing(0);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSizeConstraint(QLayout::SetFixedSize);

    auto* header = new QHBoxLayout;
    header->setContentsMargins(24, 14, 24, 14);
    header->setSpacing(10);
    auto* icon = new QLabel(this);
    icon->setPixmap(Symbols::icon("cable.connector.horizontal").pixmap(28, 28));
    header->addWidget(icon);
    auto* titles = new QVBoxLayout;
    titles->setSpacing(1);
    auto* name = new QLabel("Corvane", this);
    QFont headline = name->font();
    headline.setBold(true);
    name->setFont(headline);
    titles->addWidget(name);
    subtitle_ = plainLabel(this);
    titles->addWidget(subtitle_);
    header->addLayout(titles);
    header->addStretch();
    column->addLayout(header);

    auto* divider = new QFrame(this);
    divider->setFrameShape(QFrame::HLine);
    column->addWidget(divider);

    auto* body = new QVBoxLayout;
    body->setContentsMargins(24, 24, 24, 24);
    body->setSpacing(20);
    auto* card = new QVBoxLayout;
    card->setSpacing(10);
    badge_ = new QLabel(this);
    badge_->setFixedSize(76, 76);
    badge_->setAlignment(Qt::AlignCenter);
    card->addWidget(badge_, 0, Qt::AlignHCenter);
    spinner_ = new QProgressBar(this);
    spinner_->setRange(0, 0);
    spinner_->setTextVisible(false);
    spinner_->setFixedWidth(76);
    card->addWidget(spinner_, 0, Qt::AlignHCenter);
    title_ = plainLabel(this, Qt::AlignHCenter);
    QFont titleFont = title_->font();
    titleFont.setPointSizeF(titleFont.pointSizeF() * 1.25);
    titleFont.setWeight(QFont::DemiBold);
    title_->setFont(titleFont);
    card->addWidget(title_);
    detail_ = plainLabel(this, Qt::AlignHCenter);
    detail_->setWordWrap(true);
    card->addWidget(detail_);
    body->addLayout(card);

    auto* checklist = new QVBoxLayout;
    checklist->setSpacing(8);
    for (auto*& check : checks_) {
        check = plainLabel(this);
        checklist->addWidget(check);
    }
    body->addLayout(checklist);

    action_ = new QPushButton(this);
    action_->setMinimumHeight(32);
    connect(action_, &QPushButton::clicked, this, &MainWindow::act);
    body->addWidget(action_);
    column->addLayout(body);

    connect(&box_, &BoxController::changed, this, &MainWindow::sync);
    sync();
}

void MainWindow::showAndActivate() {
    show();
    raise();
    activateWindow();
}

void MainWindow::sync() {
    using Kind = BoxController::Phase::Kind;
    subtitle_->setText(box_.boxName() ? "Connected to " + QString::fromStdString(*box_.boxName())
                                      : QString("Windows gaming over Thunderbolt"));
    const StatusText status(box_.phase(), box_.settings());
    const QColor tint = StatusText::color(status.tint);
    badge_->setStyleSheet(QString("border-radius: 38px; background: rgba(%1, %2, %3, 38);")
                              .arg(tint.red()).arg(tint.green()).arg(tint.blue()));
    badge_->setPixmap(status.spinning ? QPixmap() : Symbols::icon(status.symbol).pixmap(32, 32));
    spinner_->setVisible(status.spinning);
    title_->setText(QString::fromStdString(status.title));
    detail_->setText(QString::fromStdString(status.detail));
    detail_->setVisible(!status.detail.empty());

    const std::pair<const char*, bool> rows[] = {
        {"Streaming engine installed", true},
        {"Thunderbolt link connected", box_.linkUp()},
        {"Box found", box_.boxFound()},
        {"Paired with this Mac", box_.paired()},
    };
    for (int i = 0; i < 4; ++i) {
        checks_[i]->setText(QString(rows[i].second ? "\u2714  " : "\u25cb  ") + rows[i].first);
        checks_[i]->setEnabled(rows[i].second);
    }

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
        action_->setText(escapedMnemonics(action->title));
        action_->setIcon(Symbols::icon(action->symbol));
        action_->setEnabled(action->enabled);
        action_->setDefault(kind == Kind::ready);
        action_->setAutoDefault(kind == Kind::ready);
    }
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
