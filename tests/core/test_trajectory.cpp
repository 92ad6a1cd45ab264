// The streaming trajectory reader on awkward files: absurd counts, lines and
// characters cut by the read buffer, missing newlines, unreadable paths.
#include <doctest/doctest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "base/line_stream.hpp"
#include "trajectory/reader.hpp"

using namespace kestrel;

namespace {

// A temporary file holding `content`, removed again at scope exit.
class TempFile {
public:
    explicit TempFile(const std::string& content) {
        char name[] = "/tmp/kestrel-core-XXXXXX";
        const int fd = mkstemp(name);
        REQUIRE(fd >= 0);
        path_ = name;
        std::size_t done = 0;
        while (done < content.size()) {
            const ssize_t n = write(fd, content.data() + done, content.size() - done);
            REQUIRE(n > 0);
            done += static_cast<std::size_t>(n);
        }
        close(fd);
    }
    ~TempFile() { std::remove(path_.c_str()); }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

const char* kCell = "Lattice=\"4 0 0 0 4 0 0 0 4\"";

std::string frame(int atoms, const std::string& comment = kCell) {
    std::string text = std::to_string(atoms) + "\n" + comment + "\n";
    for (int j = 0; j < atoms; ++j) text += "Fe " + std::to_string(j * 0.1) + " 0.5 0.25\n";
    return text;
}

Result<TrajectoryResult> read(const std::string& content, std::uint64_t every = 1, std::uint64_t start = 0,
                              std::optional<std::uint64_t> stop = std::nullopt) {
    TempFile file(content);
    return read_trajectory(file.path(), every, start, stop, std::nullopt);
}

std::string message(const Result<TrajectoryResult>& result) {
    return result.ok() ? "(ok)" : result.error().message;
}

}  // namespace

TEST_SUITE("trajectory") {
    TEST_CASE("absurd atom counts end in a truncation message, not an allocation") {
        for (const char* count : {"1000000000000000", "18446744073709551615", "+99999999999999"}) {
            CAPTURE(count);
            const std::string text = std::string(count) + "\n" + kCell + "\nFe 0 0 0\n";
            const std::string n = count[0] == '+' ? count + 1 : count;
            CHECK(message(read(text)) == "frame 0 ends after 1 of " + n + " atoms");
            // Not selected: skipped, and still reported.
            CHECK(message(read(frame(1) + text, 1, 0, 1)) == "(ok)");
            CHECK(message(read(frame(1) + text, 5)) == "frame 1 ends after 1 of " + n + " atoms");
        }
        CHECK(message(read("18446744073709551616\nx\n")) ==
              "frame 0: expected an atom count, found '18446744073709551616'");
    }

    TEST_CASE("files without content, frames or newlines") {
        CHECK(message(read("")) == "no frames found in the file");
        CHECK(message(read("\n\n  \n\t\n")) == "no frames found in the file");
        CHECK(message(read("2")) == "frame 0 ends before its comment line");
        CHECK(message(read("1\nLattice=\"4 0 0 0 4 0 0 0 4\"")) == "frame 0 ends after 0 of 1 atoms");
        // Without a final line end the last value may have been cut short.
        CHECK(message(read("1\nLattice=\"4 0 0 0 4 0 0 0 4\"\nFe 0 0 0.5")) ==
              "frame 0: the file ends without a line end on atom line 1, so its last value may be cut short; end "
              "the file with a line end if it is complete");
        auto last = read("1\nLattice=\"4 0 0 0 4 0 0 0 4\"\nFe 0 0 0.5\n");
        REQUIRE(last.ok());
        CHECK(last->structures[0].sites()[0].frac[2] == doctest::Approx(0.125));
        CHECK(message(read("0\n" + std::string(kCell) + "\n")) == "structure has no sites");
        CHECK(message(read(frame(1) + frame(1), 1, 5)) == "the file has 2 frame(s) but none matched start/every/stop");
        CHECK(message(read(frame(1), 0)) == "every must be at least 1");
    }

    TEST_CASE("lines and characters cut by the read buffer") {
        // A comment line far longer than the buffer, and an atom line whose
        // 4-byte character straddles byte 8192 at every cut point.
        const std::string padding(3 * LineStream::buffer_size, ' ');
        auto long_comment = read("1\n" + std::string(kCell) + padding + "\nFe 0 0 0\n");
        CHECK(long_comment.ok());
        for (std::size_t cut = 0; cut < 4; ++cut) {
            CAPTURE(cut);
            std::string head = "1\n" + std::string(kCell) + "\n";
            std::string line = "Fe 0 0 0 ";
            const std::size_t fill = LineStream::buffer_size - head.size() - line.size() - cut;
            line += std::string(fill, 'x') + "\xF0\x9F\x98\x80" + "\n";
            CHECK(read(head + line).ok());
            std::string broken = line;
            broken[broken.size() - 2] = 'x';  // the character loses its last byte
            CHECK(message(read(head + broken)) == "error reading an atom line: stream did not contain valid UTF-8");
            // The same frame, skipped: still checked.
            CHECK(message(read(frame(1) + head + broken, 1, 0, 1)) == "(ok)");
            CHECK(message(read(frame(1) + head + broken, 2)) ==
                  "error reading an atom line: stream did not contain valid UTF-8");
        }
    }

    TEST_CASE("comment fields with odd layouts") {
        CHECK(message(read("1\nLattice=\"4 0 0 0 4 0 0 0\"\nFe 0 0 0\n")) ==
              "Lattice=\"...\" must hold 9 numbers, found 8");
        CHECK(message(read("1\nLattice=\"1 0 0 0 1 0 0 0 0\"\nFe 0 0 0\n")) == "cell matrix is singular (zero volume)");
        // A column index past 2^64 saturates instead of wrapping to a small one.
        CHECK(message(read("1\n" + std::string(kCell) +
                           " Properties=pos:R:18446744073709551615:species:S:1\nFe 0 0 0\n")) ==
              "frame 0, atom line 1 is incomplete");
        CHECK(message(read("1\n" + std::string(kCell) +
                           " Properties=x:R:18446744073709551614:pos:R:3:species:S:1\nFe 0 0 0\n")) ==
              "frame 0, atom line 1 is incomplete");
        CHECK(message(read("1\n" + std::string(kCell) + " Properties=species:S:1:pos\nFe 0 0 0\n")) ==
              "cannot read Properties=species:S:1:pos");
        CHECK(message(read("1\n" + std::string(kCell) +
                           " Properties=species:S:99999999999999999999:pos:R:3\nFe 0 0 0\n")) ==
              "bad column count in Properties=species:S:99999999999999999999:pos:R:3");
        // An unterminated quote runs to the end of the line.
        CHECK(message(read("1\nLattice=\"4 0 0 0 4 0 0 0 4\nFe 0 0 0\n")) == "(ok)");
        // nan is a number, but no coordinate: the frame's structure refuses it.
        CHECK(message(read("1\n" + std::string(kCell) + "\nFe 0 0 nan\n")) ==
              "coordinates must be finite; site 1 has (nan, nan, nan)");
    }

    TEST_CASE("paths that cannot be read") {
        CHECK(message(read_trajectory("/nonexistent/kestrel.xyz", 1, 0, std::nullopt, std::nullopt))
                  .rfind("could not open /nonexistent/kestrel.xyz: No such file or directory", 0) == 0);
        const std::string with_nul("/tmp/a\0b", 8);
        CHECK(message(read_trajectory(with_nul, 1, 0, std::nullopt, std::nullopt)) ==
              "could not open " + with_nul + ": path contains a NUL byte");
        CHECK(message(read_trajectory("/tmp", 1, 0, std::nullopt, std::nullopt))
                  .rfind("error reading the atom count: ", 0) == 0);
    }

    TEST_CASE("chunks resume where the last one ended, across lines cut by the buffer") {
        // Frames long enough that chunk ends fall anywhere in the read buffer.
        std::string text;
        for (int d = 0; d < 40; ++d) text += frame(37 + d) + (d % 3 == 0 ? "\n\n" : "");
        TempFile file(text);
        const FrameSelection selection{3, 1, 38};
        auto whole = read_trajectory(file.path(), 3, 1, 38, std::nullopt);
        REQUIRE(whole.ok());
        for (const ChunkLimits limits : {ChunkLimits{1, 1'000'000}, ChunkLimits{2, 1'000'000}, ChunkLimits{100, 90}}) {
            TrajectoryPosition at;
            std::vector<std::uint64_t> indices;
            std::vector<std::size_t> sizes;
            while (!at.finished) {
                auto chunk = read_trajectory_chunk(file.path(), selection, std::nullopt, at, limits);
                REQUIRE(chunk.ok());
                CHECK(chunk->structures.size() <= limits.frames);
                for (const Structure& s : chunk->structures) sizes.push_back(s.sites().size());
                indices.insert(indices.end(), chunk->frame_indices.begin(), chunk->frame_indices.end());
                at = chunk->next;
            }
            CHECK(indices == whole->frame_indices);
            CHECK(at.frame == whole->frames_read);
            CHECK(at.kept == whole->structures.size());
            for (std::size_t k = 0; k < sizes.size(); ++k) CHECK(sizes[k] == 37 + indices[k]);
        }
        auto counted = count_trajectory_frames(file.path(), selection);
        REQUIRE(counted.ok());
        CHECK(counted->frame == 38);
        CHECK(counted->kept == whole->structures.size());
    }

    TEST_CASE("a requested stop ends the read with its message") {
        TempFile file(frame(3) + frame(3));
        std::stop_source stop;
        stop.request_stop();
        CHECK(message(read_trajectory(file.path(), 1, 0, std::nullopt, std::nullopt, stop.get_token())) ==
              kReadInterrupted);
        auto counted = count_trajectory_frames(file.path(), FrameSelection{}, stop.get_token());
        CHECK(counted.error().message == kReadInterrupted);
    }

}  // TEST_SUITE("trajectory")
