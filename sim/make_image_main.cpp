// gimbal-make-image: writes a sample firmware file of three images with
// random contents, for demos and trials against the simulated gimbal.
#include <unistd.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <random>
#include <string>
#include <vector>

#include "cli/command_line.h"
#include "link/firmware_file.h"

namespace {

constexpr char kProgram[] = "gimbal-make-image";
constexpr int kExitUsage = 2;
constexpr std::size_t kMaxBlocks = 65535;  // a count is 16 bits in the file

// "3,2,4": the block counts of the three images. A count of 0 is refused:
// the desktop upgrader's pages protocol cannot send an MCU without pages, so
// both tools refuse such a file.
bool parseCounts(const std::string& text, std::array<std::size_t, 3>& counts) {
    const char* p = text.data();
    const char* const end = p + text.size();
    for (std::size_t i = 0; i < counts.size(); ++i) {
        if (i > 0 && (p == end || *p++ != ',')) return false;
        const auto [next, ec] = std::from_chars(p, end, counts[i]);
        if (ec != std::errc() || counts[i] == 0 || counts[i] > kMaxBlocks) return false;
        p = next;
    }
    return p == end;
}

int usageError(const std::string& error) {
    std::cerr << kProgram << ": " << error << "\nTry '" << kProgram << " --help'.\n";
    return kExitUsage;
}

// Written under a temporary name and renamed into place: a full disk or a
// failed write leaves no partial image that a later flash could pick up.
bool writeWhole(const std::string& out, const gimbal::Bytes& file) {
    errno = 0;
    const std::string temporary = out + ".partial-" + std::to_string(::getpid());
    std::ofstream stream(temporary, std::ios::binary | std::ios::trunc);
    stream.write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
    stream.close();
    if (stream && std::rename(temporary.c_str(), out.c_str()) == 0) return true;
    const int error = errno != 0 ? errno : EIO;
    std::remove(temporary.c_str());
    errno = error;
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    std::string out;
    std::array<std::size_t, 3> counts{3, 2, 4};
    std::uint32_t blockSize = 1024;
    std::uint32_t seed = 1;

    const auto app = cli::makeApp(kProgram,
                                  "Writes a firmware file OUT: the stored CRC, the three block counts, then three\n"
                                  "images of random bytes.");
    app->add_option("OUT", out, "the file to write");
    app->add_option_function<std::string>(
           "--blocks", [&counts](const std::string& v) { parseCounts(v, counts); }, "blocks of each image")
        ->type_name("N1,N2,N3")
        ->default_str("3,2,4")
        ->group("Image")
        ->check(cli::check([](std::string& v) {
            std::array<std::size_t, 3> c{};
            return parseCounts(v, c) ? std::string()
                                     : "expects three counts from 1 to 65535 like 3,2,4 (an image without blocks "
                                       "cannot be sent), not '" +
                                           v + "'";
        }));
    app->add_option("--block-size", blockSize, "bytes in a block, 1 to 65535")
        ->type_name("B")
        ->group("Image")
        ->capture_default_str()
        ->transform(
            cli::wholeNumber(1, 65535, [](const std::string& v) { return "expects 1 to 65535, not '" + v + "'"; }));
    app->add_option("--seed", seed, "seed of the random bytes; the same seed gives the same file")
        ->type_name("S")
        ->capture_default_str()
        ->group("Image")
        ->transform(cli::wholeNumber(0, 0xFFFFFFFFu, [](const std::string& v) {
            return "expects a whole number from 0 to 4294967295, not '" + v + "'";
        }));
    cli::addHelp(*app, true);

    const cli::Parse parsed = cli::parse(*app, std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc));
    switch (parsed.outcome) {
        case cli::Parse::Outcome::Help:
            std::cout << parsed.text;
            return 0;
        case cli::Parse::Outcome::Version:
            std::cout << parsed.text << std::endl;
            return 0;
        case cli::Parse::Outcome::Error:
            return usageError(parsed.text);
        case cli::Parse::Outcome::Run:
            break;
    }
    if (out.empty()) return usageError("no output file given");

    std::mt19937 rng(static_cast<std::mt19937::result_type>(seed));
    std::array<gimbal::Bytes, 3> images;
    for (std::size_t i = 0; i < images.size(); ++i) {
        images[i].resize(counts[i] * blockSize);
        for (auto& b : images[i]) b = static_cast<std::uint8_t>(rng());
    }
    const gimbal::Bytes file = gimbal::composeFirmwareFile(images, blockSize);
    if (file.empty()) {
        std::fprintf(stderr, "gimbal-make-image: at most 65535 blocks per image\n");
        return kExitUsage;
    }
    if (!writeWhole(out, file)) {
        std::fprintf(stderr, "gimbal-make-image: cannot write %s: %s\n", out.c_str(), std::strerror(errno));
        return 1;
    }
    std::printf("%s: %zu bytes, blocks %zu/%zu/%zu of %u bytes\n", out.c_str(), file.size(), counts[0], counts[1],
                counts[2], blockSize);
    return 0;
}
