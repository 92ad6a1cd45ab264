// Trajectory frames through the streaming reader. The input becomes a file
// in memory; its first byte picks the selection (every, start, stop) and
// whether a cell is passed, so skipped and parsed frames are both fuzzed.
#include <sys/mman.h>
#include <unistd.h>

#include <optional>
#include <string>

#include "fuzz_common.hpp"
#include "trajectory/reader.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return -1;
    const unsigned choice = data[0];
    ++data, --size;
    const int fd = memfd_create("trajectory", MFD_CLOEXEC);
    if (fd < 0) return 0;
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = write(fd, data + done, size - done);
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    const std::uint64_t every = 1 + (choice & 3);
    const std::uint64_t start = (choice >> 2) & 3;
    const std::optional<std::uint64_t> stop =
        (choice & 0x30) == 0x30 ? std::nullopt : std::optional<std::uint64_t>((choice >> 4) & 3);
    std::optional<kestrel::Mat3> cell;
    if (choice & 0x40) cell = kestrel::Mat3{{{5, 0, 0}, {0, 5, 0}, {0, 0, 5}}};
    auto result = kestrel::read_trajectory("/proc/self/fd/" + std::to_string(fd), every, start, stop, cell);
    close(fd);
    if (result.ok())
        for (const kestrel::Structure& s : result->structures) kestrel::fuzz::exercise(s);
    return 0;
}
