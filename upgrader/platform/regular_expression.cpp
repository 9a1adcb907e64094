#include "upgrader/platform/regular_expression.h"

#include <QRegularExpression>
#include <QString>

#include <limits>
#include <mutex>

namespace platform {

namespace {

// A match that must start at the first character (Qt 6 renamed the option).
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
constexpr auto kAnchoredAtStart = QRegularExpression::AnchorAtOffsetMatchOption;
#else
constexpr auto kAnchoredAtStart = QRegularExpression::AnchoredMatchOption;
#endif

// Length of the sequence a lead byte starts and the smallest code point it
// may encode (to refuse overlong forms); 0 for a byte that cannot lead.
struct Lead {
    int length;
    std::uint32_t minimum;
    std::uint32_t bits;
};

Lead leadOf(std::uint8_t byte) {
    if (byte < 0x80) return {1, 0, byte};
    if ((byte & 0xE0) == 0xC0) return {2, 0x80, byte & 0x1Fu};
    if ((byte & 0xF0) == 0xE0) return {3, 0x800, byte & 0x0Fu};
    if ((byte & 0xF8) == 0xF0) return {4, 0x10000, byte & 0x07u};
    return {0, 0, 0};
}

}  // namespace

bool isValidUtf8(std::span<const std::uint8_t> bytes) {
    std::size_t i = 0;
    while (i < bytes.size()) {
        const Lead lead = leadOf(bytes[i]);
        if (lead.length == 0 || bytes.size() - i < static_cast<std::size_t>(lead.length)) return false;
        std::uint32_t code = lead.bits;
        for (int k = 1; k < lead.length; ++k) {
            const std::uint8_t next = bytes[i + static_cast<std::size_t>(k)];
            if ((next & 0xC0) != 0x80) return false;
            code = (code << 6) | (next & 0x3Fu);
        }
        if (code < lead.minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
        i += static_cast<std::size_t>(lead.length);
    }
    return true;
}

struct RegularExpression::Impl {
    std::string pattern;
    QRegularExpression expression;
    // Qt documents the class as reentrant only, so matches on one shared
    // expression are serialised.
    std::mutex mutex;
};

RegularExpression::RegularExpression(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

RegularExpression::~RegularExpression() = default;

std::shared_ptr<const RegularExpression> RegularExpression::withPattern(const std::string& pattern,
                                                                        std::string* error) {
    const auto* raw = reinterpret_cast<const std::uint8_t*>(pattern.data());
    if (!isValidUtf8({raw, pattern.size()})) {
        if (error) *error = "pattern is not valid UTF-8";
        return nullptr;
    }
    auto impl = std::make_unique<Impl>();
    impl->pattern = pattern;
    impl->expression.setPattern(QString::fromStdString(pattern));
    if (!impl->expression.isValid()) {
        if (error)
            *error = impl->expression.errorString().toStdString() + " at offset " +
                     std::to_string(impl->expression.patternErrorOffset());
        return nullptr;
    }
    impl->expression.optimize();
    return std::shared_ptr<const RegularExpression>(new RegularExpression(std::move(impl)));
}

const std::string& RegularExpression::pattern() const {
    return impl_->pattern;
}

bool RegularExpression::matchesAtStart(std::span<const std::uint8_t> candidate) const {
    // Qt strings hold at most INT_MAX code units.
    if (candidate.size() > static_cast<std::size_t>(std::numeric_limits<int>::max()) || !isValidUtf8(candidate))
        return false;
    const QString text =
        QString::fromUtf8(reinterpret_cast<const char*>(candidate.data()), static_cast<int>(candidate.size()));
    std::lock_guard lock(impl_->mutex);
    return impl_->expression.match(text, 0, QRegularExpression::NormalMatch, kAnchoredAtStart).hasMatch();
}

}  // namespace platform
