// The test's end of a pseudo-terminal: the window opens path(), the test
// reads what it wrote from the master side and can answer or hang up.
#pragma once

#include <termios.h>

#include <QString>

#include <string>
#include <vector>

#include "link/frame.h"
#include "link/unique_fd.h"

namespace trisk_test {

class PtyPeer {
public:
    PtyPeer();  // check ok() before use
    bool ok() const { return master_.valid() && slave_.valid(); }
    QString path() const { return QString::fromStdString(path_); }

    void write(const gimbal::Bytes& bytes);
    // Everything the window has written so far (the master is drained first).
    const gimbal::Bytes& received();
    void forget() {
        received();
        rx_.clear();
    }
    // Closes the master: the window's side is hung up, as when an adapter is pulled.
    void hangUp() { master_.reset(); }
    // The line settings the window left on the slave side.
    termios settings() const;

private:
    gimbal::UniqueFd master_;
    gimbal::UniqueFd slave_;  // held so the line stays up while the window closes and reopens it
    std::string path_;
    gimbal::Bytes rx_;
};

// Sound frames found one after another in a byte stream.
std::vector<gimbal::Bytes> framesIn(const gimbal::Bytes& stream);

}  // namespace trisk_test
