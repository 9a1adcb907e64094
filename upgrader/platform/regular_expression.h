// Regular expressions for code below the platform layer. The engine is
// Qt's (PCRE2, Perl-compatible syntax); patterns and subjects are UTF-8.
//
// Threads: a compiled expression is immutable and may be matched from any
// number of threads at once.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace platform {

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF, no
// truncated sequence (so a tail starting inside a character is invalid).
bool isValidUtf8(std::span<const std::uint8_t> bytes);

class RegularExpression {
public:
    // None when the pattern is not valid UTF-8 or does not compile; the
    // reason then goes to *error when given.
    static std::shared_ptr<const RegularExpression> withPattern(const std::string& pattern,
                                                                std::string* error = nullptr);
    ~RegularExpression();
    RegularExpression(const RegularExpression&) = delete;
    RegularExpression& operator=(const RegularExpression&) = delete;

    const std::string& pattern() const;
    // True when a match begins at the first character of the candidate.
    // A candidate that is not valid UTF-8 never matches.
    bool matchesAtStart(std::span<const std::uint8_t> candidate) const;

    struct Impl;

private:
    explicit RegularExpression(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace platform
