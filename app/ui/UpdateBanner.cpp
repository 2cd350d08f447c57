#include "app/ui/UpdateBanner.hpp"

#include "app/ui/Card.hpp"
#include "app/ui/PercentBar.hpp"
#include "app/ui/PlainText.hpp"
#include "app/ui/Spinner.hpp"
#include "app/ui/SymbolLabel.hpp"
#include "app/ui/TextLines.hpp"
#include "app/ui/TextStyle.hpp"
#include "app/updates/UpdateManager.hpp"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QPointer>
#include <QVBoxLayout>

namespace corvane {

UpdateBanner::UpdateBanner(UpdateManager& updates, QWidget* parent) : QWidget(parent), updates_(updates) {
    setObjectName("updateBanner");
    column_ = new QVBoxLayout(this);
    column_->setSpacing(10);
    connect(&updates_, &UpdateManager::changed, this, &UpdateBanner::sync);
    sync();
}

std::string UpdateBanner::displayName(const std::string& component) {
    if (component == "agent") return "Box software";
    if (component == "host") return "Corvane streamer";
    if (component == "gamepad") return "Controller driver";
    return component;
}

bool UpdateBanner::hasContent(const UpdateManager& updates) {
    using Kind = UpdateManager::Status::Kind;
    switch (updates.status().kind) {
    case Kind::updating:
    case Kind::failed: return true;
    case Kind::checking: return updates.showResult();
    default: return updates.appUpdate() || !updates.boxUpdates().empty() || updates.showResult();
    }
}

std::vector<UpdateBanner::Row> UpdateBanner::rows(UpdateManager& updates, QWidget* alertParent) {
    using Kind = UpdateManager::Status::Kind;
    UpdateManager* u = &updates;
    const auto& status = updates.status();
    if (status.kind == Kind::updating) {
        Row row{"arrow.down.circle", Tint::accent, "Updating", status.text, false, updates.progress(), !updates.progress(),
                {}};
        if (updates.batchStep()) row.title += " (" + *updates.batchStep() + ")";
        return {row};
    }
    if (status.kind == Kind::failed)
        return {{"exclamationmark.triangle", Tint::orange, "Update failed", status.text,
                 updates.failedOnObstacle(), std::nullopt, false,
                 {{"Dismiss", false, [u] { u->dismissResult(); }}}}};
    if (status.kind == Kind::checking && updates.showResult())
        return {{"arrow.triangle.2.circlepath", Tint::secondary, "Checking for updates...", std::nullopt, false,
                 std::nullopt, true, {}}};

    std::vector<Row> result;
    const int pending = updates.pendingCount();
    if (pending >= 2)
        result.push_back({"arrow.down.circle.fill", Tint::accent, std::to_string(pending) + " updates are available",
                          "Installs them one after another. Corvane restarts at the end if it updates itself.", false,
                          std::nullopt, false, {{"Update All", true, [u] { u->updateAll(); }}}});
    if (const auto& app = updates.appUpdate()) {
        // Where the app cannot update itself, its button is off and the row says why, whole.
        const auto& obstacle = updates.appUpdateObstacle();
        result.push_back({"sparkles", Tint::accent, "Corvane " + app->version + " is available",
                          obstacle    ? *obstacle
                          : app->notes ? *app->notes
                                       : "You have " + updates.currentVersion() + ".",
                          obstacle.has_value(), std::nullopt, false,
                          {{"Update", pending < 2 && !obstacle, [u] { u->updateApp(); }, !obstacle}}});
    }
    for (const auto& box : updates.boxUpdates()) {
        const std::string component = box.component;
        result.push_back({"shippingbox", Tint::accent, displayName(component) + " " + box.version + " is available",
                          "Installs on the box. Updating ends the current session.", false, std::nullopt, false,
                          {{"Update", false, [u, component] { u->updateBox(component); }}}});
    }
    if (updates.boxNeedsSetup()) {
        QPointer<QWidget> parent = alertParent;
        result.push_back({"shippingbox", Tint::orange, "Box software needs a one-time update",
                          "This is done on the box, not here. After that, the box updates from Corvane.", false,
                          std::nullopt, false,
                          {{"Show Steps", false, [u, parent] { u->showBoxSetupSteps(parent); }},
                           {"Later", false, [u] { u->dismissResult(); }}}});
    }
    if (status.kind == Kind::upToDate && updates.showResult() && !updates.appUpdate() && updates.boxUpdates().empty() &&
        !updates.boxNeedsSetup())
        result.push_back({"checkmark.circle", Tint::green, "Corvane is up to date", "Version " + updates.currentVersion(),
                          false, std::nullopt, false, {{"OK", false, [u] { u->dismissResult(); }}}});
    return result;
}

void UpdateBanner::sync() {
    // A button of the old rows may be the one being clicked: let it finish before it goes.
    if (content_) {
        content_->hide();
        content_->deleteLater();
    }
    content_ = new QWidget(this);
    auto* list = new QVBoxLayout(content_);
    list->setContentsMargins(0, 0, 0, 0);
    list->setSpacing(10);
    for (Row& row : rows(updates_, window())) {
        auto* frame = new Card(Look::Fill::accent, false, content_);
        frame->setObjectName("bannerRow");
        auto* line = new QHBoxLayout(frame);
        line->setContentsMargins(12, 12, 12, 12);
        line->setSpacing(10);
        line->addWidget(new SymbolLabel(row.symbol, row.tint, 18, frame), 0, Qt::AlignTop);
        auto* texts = new QVBoxLayout;
        texts->setSpacing(2);
        auto* title = PlainText::label(frame);
        title->setObjectName("title");
        setTextStyle(title, TextStyle::callout, QFont::DemiBold);
        // A version from the box or the feed may be one word of any width: cut to what the row can wrap.
        const QString whole = PlainText::cut(row.title, 200);
        title->setText(PlainText::shortWords(whole, title->fontMetrics(), 160));
        PlainText::offerWhole(title, title->text(), whole);
        title->setWordWrap(true);
        texts->addWidget(title);
        if (row.detail) {
            auto* detail = new TextLines(row.wholeDetail ? 0 : 4, frame);
            detail->setObjectName("detail");
            setTextStyle(detail, TextStyle::caption);
            setSecondary(detail);
            detail->setText(PlainText::cut(*row.detail));
            texts->addWidget(detail);
        }
        if (row.progress) {
            auto* bar = new PercentBar(frame);
            bar->setValue(*row.progress);
            texts->addSpacing(4);
            texts->addWidget(bar);
        }
        line->addLayout(texts, 1);
        line->addSpacing(8);
        if (row.spinner) {
            line->addWidget(new Spinner(18, frame), 0, Qt::AlignTop);
        }
        for (Button& button : row.buttons) {
            auto* push = new QPushButton(PlainText::mnemonicSafe(button.title), frame);
            push->setDefault(false);
            push->setAutoDefault(false);
            push->setProperty("prominent", button.prominent);
            push->setEnabled(button.enabled);
            if (button.prominent) {
                QFont font = push->font();
                font.setBold(true);
                push->setFont(font);
            }
            connect(push, &QPushButton::clicked, this, std::move(button.action));
            line->addWidget(push, 0, Qt::AlignTop);
        }
        list->addWidget(frame);
    }
    column_->addWidget(content_);
    content_->show();  // now, not when the layout would get to it: the window measures it as it fits
    column_->setContentsMargins(24, 0, 24, hasContent(updates_) ? 12 : 0);
    setVisible(list->count() > 0);
}

} // namespace corvane
