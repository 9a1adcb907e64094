// The bench log's record writer: any port, name, serial, version and
// message (any bytes, as device and link names are) gives exactly one line
// of JSON that reads back as an object with every field.
#include <fuzzer/FuzzedDataProvider.h>

#include <nlohmann/json.hpp>

#include "fuzz_check.h"
#include "upgrader/flash/bench_log.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    flash::BenchRecord record;
    record.port = in.ConsumeRandomLengthString(256);
    record.name = in.ConsumeRandomLengthString(256);
    record.serial = in.ConsumeRandomLengthString(64);
    record.version = in.ConsumeRandomLengthString(16);
    record.seconds = in.ConsumeFloatingPoint<double>();
    record.pages = in.ConsumeIntegral<std::int64_t>();
    record.code = static_cast<flash::ExitCode>(in.ConsumeIntegralInRange<int>(0, 143));
    record.start = std::chrono::system_clock::time_point(std::chrono::milliseconds(in.ConsumeIntegral<std::int32_t>()));
    record.message = in.ConsumeRemainingBytesAsString();

    const std::string line = flash::recordJson(record);
    FUZZ_CHECK(line.find('\n') == std::string::npos);
    const auto parsed = nlohmann::json::parse(line, nullptr, false);
    FUZZ_CHECK(parsed.is_object());
    for (const char* key : {"port", "name", "serial", "start", "seconds", "pages", "version", "result", "code", "message"})
        FUZZ_CHECK(parsed.contains(key));
    return 0;
}
