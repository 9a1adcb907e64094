// The upgrader's one window: title, icon, a small menu bar, and the
// controller's view as its content. Loading it runs the controller's set-up.
#pragma once

#include <QMainWindow>

namespace app {

class ViewController;

class MainWindow : public QMainWindow {
public:
    explicit MainWindow(QWidget* parent = nullptr);
    ViewController* viewController() const { return viewController_; }

protected:
    // Mid-upgrade the user is asked first: a gimbal left half written stays
    // in upgrade mode until it is flashed again.
    void closeEvent(QCloseEvent* event) override;

private:
    ViewController* viewController_;
};

}  // namespace app
