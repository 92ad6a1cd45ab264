// Trajectory frames through the streaming reader. The input becomes a file
// in memory; its first byte picks the selection (every, start, stop) and
// whether a cell is passed, so skipped and parsed frames are both fuzzed.
// With its top bit set the file is read again in chunks of one frame, which
// must give the same frames and the same outcome as the whole read.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
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
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    auto result = kestrel::read_trajectory(path, every, start, stop, cell);
    if (choice & 0x80) {
        kestrel::TrajectoryPosition at;
        std::vector<std::uint64_t> indices;
        std::optional<std::string> failure;
        while (!at.finished) {
            auto chunk = kestrel::read_trajectory_chunk(path, {every, start, stop}, cell, at, {1, 1});
            if (!chunk) {
                failure = chunk.error().message;
                break;
            }
            indices.insert(indices.end(), chunk->frame_indices.begin(), chunk->frame_indices.end());
            at = chunk->next;
        }
        if (result.ok() != !failure.has_value()) std::abort();
        if (failure && *failure != result.error().message) std::abort();
        if (result.ok() && (indices != result->frame_indices || at.frame != result->frames_read)) std::abort();
    }
    close(fd);
    if (result.ok())
        for (const kestrel::Structure& s : result->structures) kestrel::fuzz::exercise(s);
    return 0;
}
