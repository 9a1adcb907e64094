// Run inside the rig's guest: the Trisk program as shipped (its own entry)
// on a real serial device, driven through its own buttons for one whole
// update. trisk_rig_driver PORT-NAME FILE: exits 0 once the run ended in
// "SEND OK", 1 on any other box, 2 when nothing ended within two minutes.
#include <QApplication>
#include <QComboBox>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTextBrowser>
#include <QTimer>

#include <cstdio>
#include <functional>

#include "trisk_main.h"
#include "widget.h"

namespace {

// Calls `step` every 50 ms until it answers true, then `then`.
void every(trisk::Widget& window, std::function<bool()> step, std::function<void()> then = {}) {
    auto* timer = new QTimer(&window);
    QObject::connect(timer, &QTimer::timeout, [timer, step, then] {
        if (!step()) return;
        timer->stop();
        timer->deleteLater();
        if (then) then();
    });
    timer->start(50);
}

// Answers the file dialog with `file`; the box that ends the run ends the program.
void answerModal(const QString& file) {
    QWidget* modal = QApplication::activeModalWidget();
    if (auto* dialog = qobject_cast<QFileDialog*>(modal)) {
        auto* name = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
        if (name == nullptr) return;
        name->setText(file);
        static_cast<QDialog*>(dialog)->accept();  // protected in QFileDialog
    } else if (auto* box = qobject_cast<QMessageBox*>(modal)) {
        const bool ok = box->text() == QStringLiteral("SEND OK");
        std::printf("%s\n", qPrintable(box->text()));
        std::fflush(stdout);
        QCoreApplication::exit(ok ? 0 : 1);
    }
}

void drive(trisk::Widget& window, const QString& port, const QString& file) {
    auto* ports = window.findChild<QComboBox*>(QStringLiteral("comboBoxPort"));
    auto* text = window.findChild<QTextBrowser*>(QStringLiteral("textBrowser"));
    if (ports->findText(port) < 0) {
        std::fprintf(stderr, "%s is not in Trisk's port list\n", qPrintable(port));
        QTimer::singleShot(0, [] { QCoreApplication::exit(1); });
        return;
    }
    ports->setCurrentIndex(ports->findText(port));
    window.findChild<QPushButton*>(QStringLiteral("BtnOpen"))->click();
    every(window, [file] {
        answerModal(file);
        return false;
    });
    every(
        window, [text] { return text->toPlainText().startsWith(QStringLiteral("LINK OK !")); },
        [&window] {
            window.findChild<QPushButton*>(QStringLiteral("BtnOpenFile"))->click();
            window.findChild<QPushButton*>(QStringLiteral("BtnUpdate"))->click();
        });
    QTimer::singleShot(120000, [] {
        std::fprintf(stderr, "no end of the update within two minutes\n");
        QCoreApplication::exit(2);
    });
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: trisk_rig_driver PORT-NAME FILE\n");
        return 2;
    }
    const QString port = QString::fromLocal8Bit(argv[1]);
    const QString file = QString::fromLocal8Bit(argv[2]);
    return trisk::triskMain(argc, argv, [&](trisk::Widget& window) { drive(window, port, file); });
}
