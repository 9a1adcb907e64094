// gimbal-make-image: writes a sample firmware file of three images with
// random contents, for demos and trials against the simulated gimbal.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <string>

#include "link/firmware_file.h"

namespace {

const char kUsage[] =
    "Usage: gimbal-make-image OUT [--blocks N1,N2,N3] [--block-size B] [--seed S]\n"
    "\n"
    "Writes a firmware file: the stored CRC, the three block counts, then three\n"
    "images of random bytes (default 3,2,4 blocks of 1024 bytes, seed 1).\n";

bool parseCounts(const std::string& text, std::array<std::size_t, 3>& counts) {
    std::istringstream in(text);
    char comma1 = 0, comma2 = 0;
    return static_cast<bool>(in >> counts[0] >> comma1 >> counts[1] >> comma2 >> counts[2]) && comma1 == ',' &&
           comma2 == ',' && in.peek() == EOF;
}

bool parseNumber(const char* text, unsigned long max, unsigned long& out) {
    char* end = nullptr;
    out = std::strtoul(text, &end, 10);
    return end != text && *end == '\0' && out <= max;
}

}  // namespace

int main(int argc, char** argv) {
    std::string out;
    std::array<std::size_t, 3> counts{3, 2, 4};
    unsigned long blockSize = 1024, seed = 1;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        bool ok = true;
        if (arg == "-h" || arg == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (arg == "--blocks" && hasValue) {
            ok = parseCounts(argv[++i], counts);
        } else if (arg == "--block-size" && hasValue) {
            ok = parseNumber(argv[++i], 65535, blockSize) && blockSize > 0;
        } else if (arg == "--seed" && hasValue) {
            ok = parseNumber(argv[++i], 0xFFFFFFFFul, seed);
        } else if (out.empty() && arg.rfind("--", 0) != 0) {
            out = arg;
        } else {
            ok = false;
        }
        if (!ok) {
            std::fprintf(stderr, "gimbal-make-image: bad argument '%s'\n%s", arg.c_str(), kUsage);
            return 2;
        }
    }
    if (out.empty()) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    std::mt19937 rng(static_cast<std::mt19937::result_type>(seed));
    std::array<gimbal::Bytes, 3> images;
    for (std::size_t i = 0; i < images.size(); ++i) {
        images[i].resize(counts[i] * blockSize);
        for (auto& b : images[i]) b = static_cast<std::uint8_t>(rng());
    }
    const gimbal::Bytes file = gimbal::composeFirmwareFile(images, blockSize);
    if (file.empty()) {
        std::fprintf(stderr, "gimbal-make-image: at most 65535 blocks per image\n");
        return 2;
    }
    std::ofstream stream(out, std::ios::binary);
    stream.write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
    if (!stream.flush()) {
        std::fprintf(stderr, "gimbal-make-image: cannot write %s\n", out.c_str());
        return 1;
    }
    std::printf("%s: %zu bytes, blocks %zu/%zu/%zu of %lu bytes\n", out.c_str(), file.size(), counts[0], counts[1],
                counts[2], blockSize);
    return 0;
}
