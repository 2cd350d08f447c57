// The one-time box setup instructions, for a box whose software cannot update itself.
#include "app/updates/UpdateManager.hpp"

#include <QApplication>
#include <QClipboard>
#include <QCoroSignal>
#include <QMessageBox>
#include <QPushButton>

namespace corvane {

QCoro::Task<> UpdateManager::showBoxSetupSteps(QWidget* parent) {
    if (setupAlert_) {
        setupAlert_->raise();
        setupAlert_->activateWindow();
        co_return;
    }
    const auto link = boxSetupURL();
    const std::string text =
        std::string("The box runs an older version of its software that can't update itself. Do this once; after "
                    "that, box updates install from Corvane.\n\n1. Open Windows from Corvane.\n2. In Windows, open a "
                    "web browser and go to:\n   ") +
        (link ? *link
              : std::string("the box setup page on your Corvane update site (publish a Corvane update there first "
                            "to create it)")) +
        "\n3. Download the box setup, unzip it, double-click Setup-Box.cmd, and approve the Windows prompt.\n4. The "
        "stream disconnects for about a minute while setup runs. Corvane reconnects by itself.";

    QPointer<QMessageBox> box = new QMessageBox(parent);
    box->setTextFormat(Qt::PlainText);
    box->setText("Update the box software (one time)");
    box->setInformativeText(QString::fromStdString(text));
    box->addButton("Done", QMessageBox::AcceptRole);
    QPushButton* copy = link ? box->addButton("Copy Link", QMessageBox::ActionRole) : nullptr;
    // Every button closes the alert, so the copy happens as it is clicked.
    QAbstractButton* clicked = nullptr;
    QObject::connect(box, &QMessageBox::buttonClicked, box, [&clicked](QAbstractButton* button) { clicked = button; });
    setupAlert_ = box.data();
    QPointer<UpdateManager> self(this);
    box->open();
    box->raise();
    box->activateWindow();
    // Deleted only after the wait: the signal reaches this coroutine queued, through the box.
    co_await qCoro(box.data(), &QMessageBox::finished);
    if (box) box->deleteLater();
    if (copy && clicked == copy && link) {
        QGuiApplication::clipboard()->clear();
        QGuiApplication::clipboard()->setText(QString::fromStdString(*link));
    }
}

} // namespace corvane
