#include "link/regular_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "link/posix_io.h"

namespace gimbal {

namespace {

FileRefusal systemError(int error) {
    FileRefusal why;
    why.kind = FileRefusal::Kind::System;
    why.error = error;
    return why;
}

// Refuses what is not a regular file of at most `maxSize` bytes.
FileRefusal judge(const struct stat& st, std::uint64_t maxSize) {
    FileRefusal why;
    if (S_ISDIR(st.st_mode)) return systemError(EISDIR);  // said as the system says it
    if (!S_ISREG(st.st_mode)) {
        why.kind = FileRefusal::Kind::NotRegular;
        why.type = specialFileType(st.st_mode);
    } else if (static_cast<std::uint64_t>(st.st_size) > maxSize) {
        why.kind = FileRefusal::Kind::TooLarge;
        why.size = static_cast<std::uint64_t>(st.st_size);
        why.limit = maxSize;
    }
    return why;
}

FileRefusal failed(std::vector<std::uint8_t>& out, int error) {
    out.clear();
    return systemError(error);
}

}  // namespace

UniqueFd openRegularFile(const std::string& path, std::uint64_t maxSize, FileRefusal& why) {
    why = {};
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        why = systemError(errno);
        return {};
    }
    if ((why = judge(st, maxSize))) return {};
    // Checked again on what was opened: the path may have been replaced
    // meanwhile. O_NONBLOCK keeps a FIFO put there from blocking the open.
    UniqueFd fd(retryOnInterrupt([&] { return ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC); }));
    if (!fd.valid()) {
        why = systemError(errno);
        return {};
    }
    if (::fstat(fd.get(), &st) != 0) {
        why = systemError(errno);
        return {};
    }
    if ((why = judge(st, maxSize))) return {};
    return fd;
}

FileRefusal readRegularFile(const std::string& path, std::uint64_t maxSize, std::vector<std::uint8_t>& out) {
    FileRefusal why;
    const UniqueFd fd = openRegularFile(path, maxSize, why);
    if (!fd.valid()) return why;
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) return failed(out, errno);
    out.assign(static_cast<std::size_t>(st.st_size), 0);
    std::size_t got = 0;
    while (got < out.size()) {
        const ssize_t n = retryOnInterrupt([&] { return ::read(fd.get(), out.data() + got, out.size() - got); });
        if (n < 0) return failed(out, errno);
        if (n == 0) break;  // shrunk meanwhile
        got += static_cast<std::size_t>(n);
    }
    out.resize(got);
    return {};
}

std::string specialFileType(unsigned mode) {
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISCHR(mode)) return "a character device";
    if (S_ISBLK(mode)) return "a block device";
    if (S_ISSOCK(mode)) return "a socket";
    return "a special file";
}

std::string refusalText(const FileRefusal& why) {
    switch (why.kind) {
        case FileRefusal::Kind::None:
            return {};
        case FileRefusal::Kind::System:
            return std::strerror(why.error);
        case FileRefusal::Kind::NotRegular:
            return "not a regular file but " + why.type;
        case FileRefusal::Kind::TooLarge:
            return "too large: " + std::to_string(why.size) + " bytes, where " + std::to_string(why.limit) +
                   " at most are accepted";
    }
    return {};
}

}  // namespace gimbal
