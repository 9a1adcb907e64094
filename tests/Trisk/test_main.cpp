// Test entry: GoogleTest inside a QApplication on the offscreen platform, so
// the window's real widgets, timers and dialogs run without a display.
#include <QApplication>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

QtMessageHandler qtDefault = nullptr;

// The offscreen platform warns on every window shown; nothing to learn from it.
void quietHandler(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (message.contains(QLatin1String("propagateSizeHints"))) return;
    qtDefault(type, context, message);
}

}  // namespace

// Under the leak checker: fontconfig keeps the font matches Qt asks it for
// (Chinese texts need a fallback font) in caches it never frees.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig.so\n";
}

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    // A runtime folder of our own: the user's virtual ports must not show up
    // in the tests' port lists, and the tests place theirs here.
    static QTemporaryDir runtime;
    qputenv("XDG_RUNTIME_DIR", runtime.path().toLocal8Bit());
    qtDefault = qInstallMessageHandler(quietHandler);
    Q_INIT_RESOURCE(image);
    testing::InitGoogleTest(&argc, argv);
    // Never destroyed: Qt 5.15's offscreen platform loses its screen objects
    // when the application goes, which the leak checker would blame on us.
    // Kept alive, they stay reachable, and our own leaks still show.
    static int qtArgc = argc;  // Qt keeps a reference to it
    new QApplication(qtArgc, argv);
    return RUN_ALL_TESTS();
}
