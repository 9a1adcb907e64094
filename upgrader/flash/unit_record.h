// One unit's record, as the bench logs it and a single run's JSON summary
// carries it: what is known when its port appears (port, adapter, slot,
// image) and what its session ended with.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "upgrader/flash/bench_log.h"
#include "upgrader/flash/options.h"
#include "upgrader/flash/session.h"
#include "upgrader/flash/slots.h"

namespace flash {

// Everything a record says before its session has run, for any port the
// bench meets, one it leaves alone included.
BenchRecord recordOnAppearance(const std::string& port, const std::string& name, const Options& options,
                               std::shared_ptr<const ImageFacts> image, const std::vector<Slot>& table);
// The session's outcome into the record; `seconds` since the appearance.
void recordOutcome(BenchRecord& record, const Session& session, double seconds);

}  // namespace flash
