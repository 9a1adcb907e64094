// Reading a file the user named (a firmware image): only a regular file,
// after symbolic links. A FIFO would block the open until a writer came, a
// device such as /dev/zero never ends, and a sparse file can claim gigabytes:
// the kind and the size are checked before a byte is read, and a device is
// never opened (opening a serial adapter raises its DTR line).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "link/unique_fd.h"

namespace gimbal {

struct FileRefusal {
    enum class Kind { None, System, NotRegular, TooLarge };
    Kind kind = Kind::None;
    int error = 0;            // errno, for System
    std::string type;         // what the path is instead, for NotRegular ("a FIFO")
    std::uint64_t size = 0;   // for TooLarge
    std::uint64_t limit = 0;  // for TooLarge
    explicit operator bool() const { return kind != Kind::None; }
};

// Opens `path` for reading when it is a regular file of at most `maxSize`
// bytes; never blocks. Invalid, with the reason in `why`, otherwise.
UniqueFd openRegularFile(const std::string& path, std::uint64_t maxSize, FileRefusal& why);

// The whole of such a file in `out`, read straight into one buffer. A file
// that grows meanwhile is read up to the size that was checked.
FileRefusal readRegularFile(const std::string& path, std::uint64_t maxSize, std::vector<std::uint8_t>& out);

// What a file that is not regular is, for messages: "a FIFO", "a character
// device", "a block device", "a socket", else "a special file".
std::string specialFileType(unsigned mode);

// "not a regular file but a FIFO", "too large: 2147483648 bytes, where
// 201323528 at most are accepted", or the system's text for the error.
std::string refusalText(const FileRefusal& why);

}  // namespace gimbal
