// The application object's delegate. It has no behaviour of its own; the
// two hooks are where launch and quit work would go.
#pragma once

#include <QObject>

namespace app {

class AppDelegate : public QObject {
public:
    using QObject::QObject;
    void applicationDidFinishLaunching() {}
    void applicationWillTerminate() {}
};

}  // namespace app
