// What gimbal-sim leaves behind when it stops: one file per MCU or image with
// the latest data of each block in index order, and a line of summary each.
// Each upgrade has files of its own: the first keeps the plain names
// (mcu0.bin), the second's are run2-mcu0.bin and so on, and with more than
// one the summary says what began each.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "sim/gimbal_sim.h"

namespace sim {

// mcu0.bin, mcu1.bin, ... (pages) or image1.bin, image2.bin, ... (blocks).
std::string segmentFileName(Dialect dialect, std::size_t segment);
// "mcu0.bin: 3 blocks (0-2), 3072 bytes"; gaps show as "0-4, 7".
std::string segmentSummary(const std::string& name, const std::map<std::uint16_t, Bytes>& blocks);
std::string statsSummary(const Stats& stats);

// "" for the first upgrade, "run2-" for the second, ...
std::string runFilePrefix(std::size_t run);

// Writes, for every upgrade, the three files of the two tools' layout (and
// any further segment that received blocks) into `dir`. Returns the summary
// lines; false with a reason naming the file when one could not be written.
bool writeSegmentFiles(const GimbalSim& sim, Dialect dialect, const std::string& dir, std::vector<std::string>& summary,
                       std::string* error);
// The summary lines writeSegmentFiles() would return, writing nothing.
std::vector<std::string> segmentSummaries(const GimbalSim& sim, Dialect dialect);

// The summary lines, one a line, in `dir`/gimbal-sim-summary.txt: what the
// files hold even when nobody saw the output (its terminal was closed).
inline constexpr char kSummaryFileName[] = "gimbal-sim-summary.txt";
bool writeSummaryFile(const std::string& dir, const std::vector<std::string>& lines, std::string* error);

}  // namespace sim
