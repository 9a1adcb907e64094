// The application object whose thread is the main thread, and a way to run
// the main loop until a condition holds (for programs without a window and for
// tests). Wraps the toolkit's core application so that callers need no toolkit
// header.
#pragma once

#include <chrono>
#include <functional>
#include <memory>

namespace platform {

class Application {
public:
    // argc and argv must outlive the object (the toolkit keeps them).
    Application(int& argc, char** argv);
    ~Application();  // stops the background threads first (thread_shutdown.h)
    Application(const Application&) = delete;
    Application& operator=(const Application&) = delete;

    int exec();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Runs the main loop (must be called on the main thread) until `condition`
// answers true or `timeout` passes; answers the condition's last value.
bool runMainLoopUntil(const std::function<bool()>& condition,
                      std::chrono::milliseconds timeout = std::chrono::seconds(10));

}  // namespace platform
