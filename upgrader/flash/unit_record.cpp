#include "upgrader/flash/unit_record.h"

namespace flash {

BenchRecord recordOnAppearance(const std::string& port, const std::string& name, const Options& options,
                               std::shared_ptr<const ImageFacts> image, const std::vector<Slot>& table) {
    BenchRecord r;
    r.port = port;
    r.name = name;
    r.adapter = adapterOf(port, options.systemPaths);
    if (r.adapter) r.serial = r.adapter->serial;
    r.start = std::chrono::system_clock::now();
    r.threeAxis = options.threeAxis;
    r.image = std::move(image);
    r.slot = slotOf(table, port, r.adapter ? r.adapter->byPath : std::string());
    return r;
}

void recordOutcome(BenchRecord& r, const Session& s, double seconds) {
    r.seconds = seconds;
    const auto stand = s.stand();
    r.pages = stand ? stand->pagesDone : 0;
    r.version = s.version();
    r.versionAfter = s.versionAfter();
    r.blockSize = s.blockSize();
    r.code = s.code();
    r.message = withFix(s.reason(), s.diagnosis());
}

}  // namespace flash
