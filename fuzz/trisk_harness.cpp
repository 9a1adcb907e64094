#include "trisk_harness.h"

#include <QApplication>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QTest>

namespace trisk_fuzz {

namespace {

QString chosenFile;
std::size_t boxes = 0;

void quiet(QtMsgType type, const QMessageLogContext&, const QString& message) {
    if (type == QtFatalMsg) qFatal("%s", qPrintable(message));
}

// Answers from the dialog's own event loop: exec() is running by then.
class ModalAnswerer : public QObject {
protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() != QEvent::Show) return false;
        if (auto* box = qobject_cast<QMessageBox*>(watched)) {
            ++boxes;
            QMetaObject::invokeMethod(
                box, [box] { box->done(QMessageBox::Ok); }, Qt::QueuedConnection);
        } else if (auto* dialog = qobject_cast<QFileDialog*>(watched)) {
            QMetaObject::invokeMethod(
                dialog, [dialog] { answer(dialog); }, Qt::QueuedConnection);
        }
        return false;
    }

private:
    static void answer(QFileDialog* dialog) {
        auto* name = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
        if (chosenFile.isEmpty() || name == nullptr) {
            dialog->reject();
            return;
        }
        name->setText(chosenFile);
        QTest::keyClick(name, Qt::Key_Return);
    }
};

}  // namespace

void ensureApplication() {
    static QApplication* app = [] {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        qInstallMessageHandler(quiet);
        static int argc = 1;
        static char name[] = "trisk-fuzz";
        static char* argv[] = {name, nullptr};
        // Never destroyed: the offscreen platform's screens must stay reachable.
        auto* a = new QApplication(argc, argv);
        a->installEventFilter(new ModalAnswerer);
        return a;
    }();
    (void)app;
}

void chooseFile(const QString& path) {
    chosenFile = path;
}

std::size_t boxesShown() {
    return boxes;
}

}  // namespace trisk_fuzz

// System libraries keep caches for the life of the process (fontconfig for
// the Chinese texts' fallback font).
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig.so\nleak:libdbus-1.so\n";
}
