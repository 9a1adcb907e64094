#include "upgrader/app/main_window.h"

#include <QAction>
#include <QApplication>
#include <QMenuBar>

#include "upgrader/app/view_controller.h"

namespace app {

MainWindow::MainWindow(QWidget* parent) : QMainWindow(parent), viewController_(new ViewController(this)) {
    setObjectName(QStringLiteral("mainWindow"));
    setWindowTitle(tr("Quenlo — Gimbal Firmware Upgrader"));
    setCentralWidget(viewController_);
    QMenu* file = menuBar()->addMenu(tr("&File"));
    QAction* quit = file->addAction(tr("&Quit"));
    quit->setShortcut(QKeySequence::Quit);
    connect(quit, &QAction::triggered, qApp, &QCoreApplication::quit, Qt::QueuedConnection);
    viewController_->viewDidLoad();
}

}  // namespace app
