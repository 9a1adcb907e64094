// Not a test: the Trisk program as shipped (its own entry), with the port
// given as the first argument opened through the window's button. Prints
// "OPEN" once the port is open, so a test can then signal it.
#include <QComboBox>
#include <QPushButton>
#include <QTimer>

#include <cstdio>

#include "trisk_main.h"
#include "widget.h"

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    const QString path = QString::fromLocal8Bit(argv[1]);
    return trisk::triskMain(argc, argv, [path](trisk::Widget& window) {
        QTimer::singleShot(0, &window, [&window, path] {
            // The scan lists no pseudo-terminals: put the path in the list.
            auto* ports = window.findChild<QComboBox*>(QStringLiteral("comboBoxPort"));
            ports->addItem(path);
            ports->setCurrentIndex(ports->count() - 1);
            auto* open = window.findChild<QPushButton*>(QStringLiteral("BtnOpen"));
            open->click();
            std::printf("%s\n", open->text() == QStringLiteral("CLOSE") ? "OPEN" : "NOT OPEN");
            std::fflush(stdout);
        });
    });
}
