// Cuts the byte stream of a port into whole frames. A read may hold a
// version report and an acknowledgement together, or half of one; the engine
// recognises one response per delivery, so each frame is handed on alone.
#pragma once

#include <cstdint>
#include <vector>

namespace flash {

class FrameAssembler {
public:
    using Bytes = std::vector<std::uint8_t>;

    // Appends a chunk and answers the whole frames now complete, in order.
    // Bytes that cannot start a frame, and frames whose CRC fails, are dropped.
    std::vector<Bytes> feed(const Bytes& chunk);

    std::size_t pendingBytes() const { return buffer_.size(); }

private:
    Bytes buffer_;
};

}  // namespace flash
