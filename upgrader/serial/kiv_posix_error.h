// A failing system call as the port reports it: an error in the POSIX domain
// with the errno code, the system's text for it and the port's path, plus the
// call that failed so a message can say what was being done.
#pragma once

#include <string>
#include <string_view>

namespace serial {

struct KivPosixError {
    static constexpr std::string_view domain = "NSPOSIXErrorDomain";

    int code = 0;                      // errno
    std::string localizedDescription;  // strerror(code)
    std::string filePath;              // the port's path
    std::string operation;             // the failing call, e.g. "open"

    // "<operation> <filePath>: <localizedDescription>"
    std::string message() const;

    static KivPosixError fromErrno(int code, std::string filePath, std::string operation);
};

}  // namespace serial
