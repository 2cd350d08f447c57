#include "app/ui/Card.hpp"
#include "app/ui/Contrast.hpp"
#include "app/ui/Look.hpp"
#include "app/ui/Spinner.hpp"
#include "app/ui/SymbolLabel.hpp"
#include "app/ui/UpdatesTab.hpp"

#include "app/controller/BoxController.hpp"
#include "app/services/agent/AgentReplies.hpp"
#include "app/ui/PercentBar.hpp"
#include "app/ui/PlainText.hpp"
#include "app/ui/ShortTime.hpp"
#include "app/ui/Symbols.hpp"
#include "app/ui/TextLines.hpp"
#include "app/ui/TextStyle.hpp"
#include "app/ui/Tint.hpp"
#include "app/updates/UpdateManager.hpp"

#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QApplication>
#include <QPushButton>
#include <QVBoxLayout>

namespace corvane {
namespace {

// What a version from the box or the feed may take of a line, and a button of its row: the row keeps its room
// for the rest.
constexpr int kVersionWidth = 160;
constexpr int kButtonTextWidth = 220;

// Box text in a label that wraps: no word of it wider than the label can take.
void setBoxText(QLabel* label, const QString& text) {
    const QString shown = PlainText::shortWords(text, label->fontMetrics(), kVersionWidth);
    label->setText(shown);
    PlainText::offerWhole(label, shown, text);
}

const UpdateManager::BoxUpdate* boxUpdate(const UpdateManager& updates, const std::string& component) {
    for (const auto& update : updates.boxUpdates())
        if (update.component == component) return &update;
    return nullptr;
}

} // namespace

std::string UpdatesTab::boxAgentDetail(BoxController& box) {
    if (!box.boxInfo()) return "Box not connected";
    const std::string version = "Version " + box.boxInfo()->agentVersion;
    return box.updates().boxNeedsSetup() ? version + ", needs a one-time update on the box" : version;
}

std::string UpdatesTab::hostDetail(BoxController& box) {
    if (!box.boxInfo()) return "Box not connected";
    const auto& version = box.updates().boxHostVersion();
    return version && !version->empty() ? "Version " + *version : "Version unknown";
}

std::optional<std::string> UpdatesTab::statusLine(const UpdateManager& updates) {
    using Kind = UpdateManager::Status::Kind;
    const auto& status = updates.status();
    switch (status.kind) {
    case Kind::checking: return "Checking...";
    case Kind::updating: return updates.batchStep() ? "Update " + *updates.batchStep() + ": " + status.text : status.text;
    case Kind::failed: return status.text;
    default:
        if (updates.lastChecked()) return "Last checked " + shortTime(*updates.lastChecked()).toStdString();
        return std::nullopt;
    }
}

QWidget* UpdatesTab::softwareRow(const char* icon, const char* name, QLabel*& detail, Trailing& trailing, TextLines** why) {
    auto* row = new QWidget;
    auto* line = new QHBoxLayout(row);
    line->setContentsMargins(12, 10, 12, 10);
    line->setSpacing(12);
    line->addWidget(new SymbolLabel(icon, Tint::accent, 20, row));
    line->addSpacing(4);
    auto* texts = new QVBoxLayout;
    texts->setSpacing(2);
    auto* title = PlainText::label(row, name);
    setTextStyle(title, TextStyle::callout, QFont::Medium);
    texts->addWidget(title);
    detail = PlainText::label(row);
    detail->setWordWrap(true);
    setTextStyle(detail, TextStyle::caption);
    setSecondary(detail);
    texts->addWidget(detail);
    if (why) {
        // Wrapped anywhere: a folder's path is one long word.
        *why = new TextLines(0, row);
        setTextStyle(*why, TextStyle::caption);
        setSecondary(*why);
        texts->addWidget(*why);
    }
    line->addLayout(texts, 1);
    line->addSpacing(12);
    trailing.button = new QPushButton(row);
    trailing.button->setAutoDefault(false);
    line->addWidget(trailing.button);
    trailing.badge = new QWidget(row);
    auto* badge = new QHBoxLayout(trailing.badge);
    badge->setContentsMargins(0, 0, 0, 0);
    badge->setSpacing(4);
    badge->addWidget(new SymbolLabel("checkmark.circle.fill", Tint::green, 14, trailing.badge));
    auto* upToDate = new QLabel("Up to date", trailing.badge);
    setTextStyle(upToDate, TextStyle::caption);
    setSecondary(upToDate);
    badge->addWidget(upToDate);
    line->addWidget(trailing.badge);
    return row;
}

UpdatesTab::UpdatesTab(BoxController& box, QWidget* parent) : SettingsPage(parent), box_(box) {
    addSection("Software");
    auto* card = new Card(Look::Fill::card, true);
    card->setObjectName("softwareCard");
    auto* rows = new QVBoxLayout(card);
    rows->setContentsMargins(0, 0, 0, 0);
    rows->setSpacing(0);
    const auto divider = [card, rows] {
        auto* holder = new QHBoxLayout;
        holder->setContentsMargins(48, 0, 0, 0);
        auto* line = new QFrame(card);
        line->setFrameShape(QFrame::HLine);
        holder->addWidget(line);
        rows->addLayout(holder);
    };
    rows->addWidget(softwareRow("laptopcomputer", "Corvane", appDetail_, app_, &appObstacle_));
    divider();
    rows->addWidget(softwareRow("shippingbox", "Box software", agentDetail_, agent_));
    divider();
    rows->addWidget(softwareRow("dot.radiowaves.left.and.right", "Corvane streamer", hostDetail_, host_));
    section_->addWidget(card);

    UpdateManager* updates = &box_.updates();
    connect(app_.button, &QPushButton::clicked, this, [updates] { updates->updateApp(); });
    connect(agent_.button, &QPushButton::clicked, this, [this, updates] {
        if (updates->boxNeedsSetup()) updates->showBoxSetupSteps(window());
        else updates->updateBox("agent");
    });
    connect(host_.button, &QPushButton::clicked, this, [updates] { updates->updateBox("host"); });

    auto* below = new QVBoxLayout;
    below->setSpacing(8);
    auto* buttons = new QHBoxLayout;
    buttons->setSpacing(10);
    updateAll_ = new QPushButton;
    updateAll_->setObjectName("updateAll");
    updateAll_->setAutoDefault(false);
    connect(updateAll_, &QPushButton::clicked, this, [updates] { updates->updateAll(); });
    buttons->addWidget(updateAll_);
    check_ = new QPushButton("Check for Updates");
    check_->setObjectName("checkForUpdates");
    check_->setAutoDefault(false);
    connect(check_, &QPushButton::clicked, this, [updates] { updates->checkNow(); });
    buttons->addWidget(check_);
    checking_ = new Spinner(18);
    buttons->addWidget(checking_);
    status_ = new TextLines(3);
    status_->setObjectName("updateStatus");
    buttons->addWidget(status_, 1);
    below->addLayout(buttons);
    progress_ = new PercentBar;
    below->addWidget(progress_);
    auto* note = PlainText::label(nullptr, "Corvane checks automatically every 6 hours, and checks the box each time it connects.");
    note->setWordWrap(true);
    setTextStyle(note, TextStyle::caption);
    setSecondary(note);
    below->addWidget(note);
    page_->addLayout(below);

    connect(&box_, &BoxController::changed, this, &UpdatesTab::sync);
    connect(updates, &UpdateManager::changed, this, &UpdatesTab::sync);
    Look::onChange(this, [this] { sync(); });
    sync();
}

void UpdatesTab::sync() {
    using Kind = UpdateManager::Status::Kind;
    UpdateManager& updates = box_.updates();
    const bool busy = updates.isBusy();
    const auto show = [busy](Trailing& trailing, std::optional<std::string> button, bool badge, bool enabledWhileBusy) {
        trailing.button->setVisible(button.has_value());
        if (button) {
            const QString whole = PlainText::cut(*button);
            const QString shown = trailing.button->fontMetrics().elidedText(whole, Qt::ElideRight, kButtonTextWidth);
            trailing.button->setText(QString(shown).replace('&', "&&"));
            PlainText::offerWhole(trailing.button, shown, whole);
        }
        trailing.button->setEnabled(enabledWhileBusy || !busy);
        trailing.badge->setVisible(badge);
    };

    // Where the app cannot update itself its button is off, and the row says so and why.
    const bool blocked = updates.appUpdate() && updates.appUpdateObstacle();
    setBoxText(appDetail_, "Version " + PlainText::cut(updates.currentVersion(), 60) +
                               (blocked ? ", can't update itself where it is installed" : ""));
    appObstacle_->setVisible(blocked);
    appObstacle_->setText(blocked ? ShownText::cutPath(*updates.appUpdateObstacle()) : QString());
    if (updates.appUpdate()) show(app_, "Update to " + updates.appUpdate()->version, false, false);
    else show(app_, std::nullopt, updates.lastChecked().has_value(), false);
    if (blocked) app_.button->setEnabled(false);

    setBoxText(agentDetail_, PlainText::cut(boxAgentDetail(box_)));
    const auto* agentUpdate = boxUpdate(updates, "agent");
    if (!box_.boxInfo()) show(agent_, std::nullopt, false, false);
    else if (updates.boxNeedsSetup()) show(agent_, std::string("Show Steps"), false, true);
    else if (agentUpdate) show(agent_, "Update to " + agentUpdate->version, false, false);
    else show(agent_, std::nullopt, true, false);

    setBoxText(hostDetail_, PlainText::cut(hostDetail(box_)));
    const auto* hostUpdate = boxUpdate(updates, "host");
    if (!box_.boxInfo() || updates.boxNeedsSetup()) show(host_, std::nullopt, false, false);
    else if (hostUpdate) show(host_, "Update to " + hostUpdate->version, false, false);
    else show(host_, std::nullopt, true, false);

    const int pending = updates.pendingCount();
    updateAll_->setVisible(pending >= 1);
    updateAll_->setText(pending >= 2 ? QString("Update All (%1)").arg(pending) : QString("Update All"));
    updateAll_->setEnabled(!busy);
    check_->setEnabled(!busy);

    const Kind kind = updates.status().kind;
    checking_->setVisible(kind == Kind::checking);
    const auto line = statusLine(updates);
    status_->setVisible(line.has_value());
    // A failure whole, with its reason at the end: a long folder's path gives up its middle instead.
    status_->setText(!line ? QString() : kind == Kind::failed ? ShownText::cutPath(*line) : PlainText::cut(*line));
    // Two lines for an update in progress, one otherwise.
    status_->setMaxLines(kind == Kind::failed ? 0 : kind == Kind::updating ? 2 : 1);
    if (kind == Kind::failed) {
        // Orange as text needs more contrast than as a symbol.
        QPalette palette = status_->palette();
        const QPalette& window = QApplication::palette();
        const QColor ink = Contrast::atLeast(tintColor(Tint::orange), {window.color(QPalette::Window)}, 4.6);
        if (palette.color(QPalette::WindowText) != ink) {
            palette.setColor(QPalette::WindowText, ink);
            status_->setPalette(palette);
        }
        setSecondary(status_, false);
    } else {
        status_->setPalette(QPalette());
        setSecondary(status_);
    }
    progress_->setVisible(kind == Kind::updating && updates.progress());
    if (updates.progress()) progress_->setValue(*updates.progress());
}

} // namespace corvane
