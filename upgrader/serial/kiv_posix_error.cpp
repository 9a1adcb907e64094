#include "upgrader/serial/kiv_posix_error.h"

#include <cstring>

namespace serial {

std::string KivPosixError::message() const {
    return operation + " " + filePath + ": " + localizedDescription;
}

KivPosixError KivPosixError::fromErrno(int code, std::string filePath, std::string operation) {
    // strerror_r (GNU form) instead of strerror: errors are built on several threads.
    char text[256];
    const char* description = strerror_r(code, text, sizeof text);
    return KivPosixError{code, description, std::move(filePath), std::move(operation)};
}

}  // namespace serial
