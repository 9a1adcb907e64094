// Program entry of the three-axis updater.
#include <QApplication>

#include <memory>

#include "widget.h"

int main(int argc, char *argv[]) {
    Q_INIT_RESOURCE(image);
    int code = 0;
    {
        QApplication app(argc, argv);
        // The window holds the whole file buffer (over 512 KiB): keep it off the stack.
        auto window = std::make_unique<Widget>();
        // A title bar with a close button only: no minimise, no maximise.
        window->setWindowFlags(Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
        window->show();
        code = app.exec();
        window.reset();  // the window goes before the application
    }
    Q_CLEANUP_RESOURCE(image);
    return code;
}
