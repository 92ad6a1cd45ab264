// LAMMPS text dumps through the streaming reader. The input becomes a file
// in memory; its first byte picks the selection (every, start, stop) and
// whether types are named, so skipped and parsed frames are both fuzzed.
// The file is read whole and again in chunks of one frame through one open
// stream, which must give the same frames and the same outcome.
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
    const int fd = memfd_create("dump", MFD_CLOEXEC);
    if (fd < 0) return 0;
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = write(fd, data + done, size - done);
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    const kestrel::FrameSelection selection{
        1 + (choice & 3), (choice >> 2) & 3,
        (choice & 0x30) == 0x30 ? std::nullopt : std::optional<std::uint64_t>((choice >> 4) & 3)};
    kestrel::TrajectoryFormatOptions options;
    options.format = kestrel::TrajectoryFormat::lammps_dump;
    if (choice & 0x40) options.types = {{"1", "Na"}, {"2", "Cl"}};
    const std::string path = "/proc/self/fd/" + std::to_string(fd);

    kestrel::TrajectoryStream whole(path, selection, options);
    auto result = whole.next_chunk({});
    kestrel::TrajectoryStream chunked(path, selection, options);
    std::vector<std::uint64_t> indices;
    std::optional<std::string> failure;
    std::uint64_t frames_read = 0;
    for (;;) {
        auto chunk = chunked.next_chunk({1, 1});
        if (!chunk) {
            failure = chunk.error().message;
            break;
        }
        indices.insert(indices.end(), chunk->frame_indices.begin(), chunk->frame_indices.end());
        frames_read = chunk->next.frame;
        if (chunk->next.finished) break;
    }
    if (result.ok() != !failure.has_value()) std::abort();
    if (failure && *failure != result.error().message) std::abort();
    if (result.ok() && (indices != result->frame_indices || frames_read != result->next.frame)) std::abort();
    close(fd);
    if (result.ok())
        for (const kestrel::Structure& s : result->structures) kestrel::fuzz::exercise(s);
    return 0;
}
