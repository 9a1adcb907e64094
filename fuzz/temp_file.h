// One scratch file per fuzzing process, rewritten for each input, for the
// loaders that only take a path.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

// In a folder of its own, so a file dialog opened on it has little to list.
inline const std::string& scratchPath() {
    static const std::string path = [] {
        const char* tmp = std::getenv("TMPDIR");
        const std::string dir = std::string(tmp && *tmp ? tmp : "/tmp") + "/gimbal-fuzz-" + std::to_string(::getpid());
        ::mkdir(dir.c_str(), 0700);
        return dir + "/firmware.bin";
    }();
    return path;
}

inline void writeScratch(const std::vector<std::uint8_t>& bytes) {
    std::FILE* f = std::fopen(scratchPath().c_str(), "wb");
    if (f == nullptr) std::abort();
    if (!bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size()) std::abort();
    std::fclose(f);
}
