// Private to upgrader/platform: the background thread's Qt side. Objects that
// must live on that thread (socket notifiers, timers) are made and deleted
// from work queued with backgroundQueueAsync.
#pragma once

class QObject;

namespace platform {

// An object that lives on the background thread; a context for queued calls.
QObject* backgroundContext();

}  // namespace platform
