// The last bytes received, never more than a fixed number: appending beyond
// the limit drops the oldest bytes. One per listened-for descriptor and one
// for the response to the request in flight.
//
// Threads: not synchronised; a port touches its buffers only on its
// request-handling executor.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace serial {

class KivSerialBuffer {
    struct Token {};

public:
    static std::shared_ptr<KivSerialBuffer> initWithMaximumLength(std::uint64_t maximumLength);
    // Always a caller error: raises an assertion failure and answers none.
    static std::shared_ptr<KivSerialBuffer> init();

    KivSerialBuffer(Token, std::uint64_t maximumLength) : maximumLength_(maximumLength) {}

    std::uint64_t maximumLength() const { return maximumLength_; }
    // The bytes kept, oldest first; valid until the next change.
    std::span<const std::uint8_t> data() const;
    void appendData(std::span<const std::uint8_t> bytes);
    void clearBuffer();

private:
    const std::uint64_t maximumLength_;
    // Trimmed bytes are skipped by start_ and compacted away in bulk, so
    // trimming one byte per append stays cheap.
    std::vector<std::uint8_t> internalBuffer_;
    std::size_t start_ = 0;
};

}  // namespace serial
