#include "upgrader/platform/event_loop.h"

#include <QEventLoop>

namespace platform {

struct EventLoop::Impl {
    QEventLoop loop;
};

EventLoop::EventLoop() : impl_(std::make_unique<Impl>()) {}
EventLoop::~EventLoop() = default;

void EventLoop::run() {
    impl_->loop.exec();
}
void EventLoop::quit() {
    impl_->loop.quit();
}

}  // namespace platform
