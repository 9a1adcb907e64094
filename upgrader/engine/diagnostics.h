// The two diagnostic lines printed for every chunk the gimbal sends: its
// bytes as decimal values ("[85, 170, 0, 3]") and read as UTF-16 text.
#pragma once

#include <string>

#include "upgrader/engine/upgrade_view.h"

namespace engine {

std::string decimalByteList(const Bytes& data);
std::string utf16Text(const Bytes& data);
// "55 AA 00 03": a frame as quenlo-flash --verbose shows it.
std::string hexBytes(const Bytes& data);

}  // namespace engine
