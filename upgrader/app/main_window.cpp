#include "upgrader/app/main_window.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QMenuBar>
#include <QMessageBox>

#include "cli/about_box.h"
#include "upgrader/app/view_controller.h"

namespace app {

MainWindow::MainWindow(QWidget* parent) : QMainWindow(parent), viewController_(new ViewController(this)) {
    setObjectName(QStringLiteral("mainWindow"));
    setWindowTitle(tr("Quenlo — Gimbal Firmware Upgrader"));
    setCentralWidget(viewController_);
    QMenu* file = menuBar()->addMenu(tr("&File"));
    QAction* quit = file->addAction(tr("&Quit"));
    // Ctrl+Q everywhere: some platform themes bind nothing to Quit.
    QList<QKeySequence> quitKeys{QKeySequence(QStringLiteral("Ctrl+Q"))};
    if (const QKeySequence platformKey(QKeySequence::Quit); !platformKey.isEmpty() && platformKey != quitKeys.first())
        quitKeys << platformKey;
    quit->setShortcuts(quitKeys);
    // Through the window's close, so that Quit asks what closing asks.
    connect(quit, &QAction::triggered, this, &QWidget::close, Qt::QueuedConnection);
    QMenu* help = menuBar()->addMenu(tr("&Help"));
    QAction* about = help->addAction(tr("&About Quenlo"));
    about->setObjectName(QStringLiteral("aboutAction"));
    connect(about, &QAction::triggered, this, [this] {
        cli::showAboutBox(this, QStringLiteral("Quenlo"), tr("Writes new firmware into a camera gimbal over a serial port."));
    });
    viewController_->viewDidLoad();
}

namespace {

// Default No, as the damaged-file question: Enter or Escape keep upgrading.
// A box closed any other way answers nothing, which is not a "Yes".
bool askToStopUpgrade(QWidget* parent) {
    QMessageBox box(QMessageBox::Warning, QObject::tr("Upgrade under way"),
                    QObject::tr("An upgrade is under way. Quitting now stops it, and the gimbal stays in upgrade "
                                "mode until it is restarted and flashed again.\n\nQuit anyway?"),
                    QMessageBox::Yes | QMessageBox::No, parent);
    box.setObjectName(QStringLiteral("quitQuestion"));
    box.setDefaultButton(QMessageBox::No);
    box.setEscapeButton(QMessageBox::No);
    return box.exec() == QMessageBox::Yes;
}

}  // namespace

void MainWindow::closeEvent(QCloseEvent* event) {
    // The question runs a nested loop: the upgrade may end under it.
    if (viewController_->engine.upgradeUnderWay() && !askToStopUpgrade(this) &&
        viewController_->engine.upgradeUnderWay()) {
        event->ignore();
        return;
    }
    viewController_->engine.cancelUpgrade();
    event->accept();
}

}  // namespace app
