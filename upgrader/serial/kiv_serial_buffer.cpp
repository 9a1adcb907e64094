#include "upgrader/serial/kiv_serial_buffer.h"

#include <algorithm>

#include "upgrader/serial/kiv_assert.h"

namespace serial {

std::shared_ptr<KivSerialBuffer> KivSerialBuffer::initWithMaximumLength(std::uint64_t maximumLength) {
    return std::make_shared<KivSerialBuffer>(Token{}, maximumLength);
}

std::shared_ptr<KivSerialBuffer> KivSerialBuffer::init() {
    kivAssertionFailure("Use -[KivSerialBuffer initWithMaximumLength:]");
    return nullptr;
}

std::span<const std::uint8_t> KivSerialBuffer::data() const {
    return std::span<const std::uint8_t>(internalBuffer_).subspan(start_);
}

void KivSerialBuffer::appendData(std::span<const std::uint8_t> bytes) {
    const std::uint64_t limit = maximumLength_;
    if (bytes.size() >= limit) {
        // The new bytes alone fill the buffer: keep only their tail.
        internalBuffer_.assign(bytes.end() - static_cast<std::ptrdiff_t>(limit), bytes.end());
        start_ = 0;
        return;
    }
    internalBuffer_.insert(internalBuffer_.end(), bytes.begin(), bytes.end());
    const std::size_t kept = internalBuffer_.size() - start_;
    if (kept > limit) start_ += kept - static_cast<std::size_t>(limit);
    // Compact once the dropped prefix outweighs what is kept.
    if (start_ > 0 && start_ >= internalBuffer_.size() - start_) {
        internalBuffer_.erase(internalBuffer_.begin(), internalBuffer_.begin() + static_cast<std::ptrdiff_t>(start_));
        start_ = 0;
    }
}

void KivSerialBuffer::clearBuffer() {
    internalBuffer_.clear();
    start_ = 0;
}

}  // namespace serial
