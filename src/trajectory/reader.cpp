#include "trajectory/reader.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "base/text.hpp"
#include "formats/xyz_comment_fields.hpp"
#include "base/line_stream.hpp"

namespace kestrel {
namespace {

constexpr const char* kNoCell =
    " has no Lattice=\"...\" and no cell was given; an RDF of a periodic system needs the cell, "
    "so pass cell=[[a],[b],[c]]";

// Never reserve more sites up front than this: the count comes from the
// file and may be a lie, so beyond it the vector grows with the lines that
// really arrive.
constexpr std::uint64_t kMaxReservedSites = 1 << 16;

// The whitespace test of the token rules, with ASCII decided in line: atom
// lines are nearly all ASCII and the tokeniser is the hot loop of a read.
std::size_t space_at(std::string_view text, std::size_t pos) {
    const auto byte = static_cast<unsigned char>(text[pos]);
    if (byte < 0x80) return byte == ' ' || (byte >= 0x09 && byte <= 0x0D) ? 1 : 0;
    return space_length_at(text, pos);
}

std::string_view next_field(std::string_view& rest) {
    std::size_t pos = 0;
    while (pos < rest.size()) {
        const std::size_t space = space_at(rest, pos);
        if (space == 0) break;
        pos += space;
    }
    const std::size_t start = pos;
    while (pos < rest.size() && space_at(rest, pos) == 0) ++pos;
    const std::string_view token = rest.substr(start, pos - start);
    rest.remove_prefix(pos);
    return token;
}

// The tokens of an atom line. For ASCII lines of up to 255 bytes the
// whitespace positions are found sixteen bytes at a time into a bitmap, and
// tokens are read off it with bit scans: no branch per byte. Other lines
// take the byte-by-byte path, which knows the Unicode spaces.
class LineTokens {
public:
    explicit LineTokens(std::string_view line) : line_(line), rest_(line) {
        const std::size_t size = line.size();
        if (size >= kMaxFast) return;
        alignas(16) char padded[kMaxFast + 1];
        const std::size_t blocks = (size + 16) / 16;  // at least one byte of padding
        std::memcpy(padded, line.data(), size);
        std::memset(padded + size, ' ', blocks * 16 - size);
        for (std::uint64_t& word : space_) word = ~std::uint64_t{0};
        for (std::size_t b = 0; b < blocks; ++b) {
            std::uint64_t high = 0, space = 0;
#if defined(__SSE2__)
            const __m128i bytes = _mm_load_si128(reinterpret_cast<const __m128i*>(padded + 16 * b));
            high = static_cast<unsigned>(_mm_movemask_epi8(bytes));
            // Space, or 0x09-0x0D: (byte - 9) as unsigned is at most 4.
            const __m128i shifted = _mm_sub_epi8(bytes, _mm_set1_epi8(9));
            const __m128i control = _mm_cmpeq_epi8(_mm_min_epu8(shifted, _mm_set1_epi8(4)), shifted);
            const __m128i blank = _mm_cmpeq_epi8(bytes, _mm_set1_epi8(' '));
            space = static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(control, blank)));
#else
            for (int k = 0; k < 16; ++k) {
                const auto byte = static_cast<unsigned char>(padded[16 * b + k]);
                high |= std::uint64_t{byte >= 0x80} << k;
                space |= std::uint64_t{byte == ' ' || (byte >= 0x09 && byte <= 0x0D)} << k;
            }
#endif
            if (high != 0) return;
            const std::size_t shift = (16 * b) % 64;
            std::uint64_t& word = space_[16 * b / 64];
            word = (word & ~(std::uint64_t{0xFFFF} << shift)) | (space << shift);
        }
        fast_ = true;
    }

    // The next token, empty at the end of the line.
    std::string_view next() {
        if (!fast_) return next_field(rest_);
        const std::size_t start = find(pos_, false);
        if (start >= line_.size()) return {};
        pos_ = find(start, true);  // the padding after the line is whitespace
        return line_.substr(start, pos_ - start);
    }

private:
    static constexpr std::size_t kMaxFast = 255;

    // The first position from `from` whose bit is `space`; kWords * 64 if none.
    std::size_t find(std::size_t from, bool space) const {
        std::size_t w = from / 64;
        if (w >= kWords) return kWords * 64;
        std::uint64_t bits = (space ? space_[w] : ~space_[w]) & (~std::uint64_t{0} << (from % 64));
        while (bits == 0) {
            if (++w == kWords) return kWords * 64;
            bits = space ? space_[w] : ~space_[w];
        }
        return w * 64 + static_cast<std::size_t>(std::countr_zero(bits));
    }

    static constexpr std::size_t kWords = 4;
    std::string_view line_, rest_;
    bool fast_ = false;
    std::size_t pos_ = 0;
    std::uint64_t space_[kWords];
};

// Plain decimals such as "-1.23456789" or "2.5e-3" with at most 19 digits
// and a small decimal exponent: the digits as an integer below 2^53 and the
// power of ten are both exact doubles, so one multiplication or division
// rounds correctly, giving the same double as the general parser. Anything
// else (inf, nan, long mantissas, bad tokens) goes to the general parser.
std::optional<double> parse_coordinate(std::string_view token) {
    static constexpr double kPowers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                         1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    const char* p = token.data();
    const char* const end = p + token.size();
    bool negative = false;
    if (p != end && (*p == '+' || *p == '-')) negative = *p++ == '-';
    std::uint64_t mantissa = 0;
    int digits = 0, fraction_digits = 0;
    bool point = false;
    for (; p != end; ++p) {
        const char c = *p;
        if (c >= '0' && c <= '9') {
            mantissa = mantissa * 10 + static_cast<std::uint64_t>(c - '0');
            ++digits;
            fraction_digits += point;
        } else if (c == '.' && !point) {
            point = true;
        } else {
            break;
        }
    }
    int exponent = 0;
    if (p != end && (*p == 'e' || *p == 'E')) {
        ++p;
        bool negative_exponent = false;
        if (p != end && (*p == '+' || *p == '-')) negative_exponent = *p++ == '-';
        int exponent_digits = 0;
        for (; p != end && *p >= '0' && *p <= '9' && exponent_digits < 4; ++p, ++exponent_digits)
            exponent = exponent * 10 + (*p - '0');
        if (exponent_digits == 0) p = nullptr;
        if (negative_exponent) exponent = -exponent;
    }
    if (p != end || digits == 0 || digits > 19 || mantissa > (std::uint64_t{1} << 53)) return try_parse_number(token);
    const int power = exponent - fraction_digits;
    if (power < -22 || power > 22) return try_parse_number(token);
    double value = static_cast<double>(mantissa);
    value = power < 0 ? value / kPowers[-power] : value * kPowers[power];
    return negative ? -value : value;
}

std::string frame_text(std::uint64_t frame) { return "frame " + std::to_string(frame); }

Result<Lattice> lattice_from_field(std::string_view value) {
    Result<std::vector<double>> numbers = parse_numbers(split_tokens(value));
    if (!numbers) return numbers.take_error();
    if (numbers->size() != 9)
        return fail("Lattice=\"...\" must hold 9 numbers, found " + std::to_string(numbers->size()));
    Mat3 rows;
    for (std::size_t i = 0; i < 9; ++i) rows[i / 3][i % 3] = (*numbers)[i];
    return make_lattice(rows);
}

// Turns the lines of one selected frame into a structure as they stream
// past. The first failure is kept and reported only once the frame has been
// read whole, so a frame cut short is reported as such even when an earlier
// line of it is also bad.
class FrameBuilder {
public:
    FrameBuilder(std::uint64_t frame, std::uint64_t n_atoms, std::uint64_t bytes_left, std::string_view comment,
                 const std::optional<Mat3>& cell)
        : frame_(frame) {
        if (std::optional<std::string_view> field = find_comment_field(comment, "Lattice")) {
            Result<Lattice> built = lattice_from_field(*field);
            if (!built) {
                set_error(built.take_error());
                return;
            }
            lattice_ = std::move(*built);
        } else if (cell) {
            Result<Lattice> built = make_lattice(*cell);
            if (!built) {
                set_error(built.take_error());
                return;
            }
            lattice_ = std::move(*built);
        } else {
            set_error(fail(frame_text(frame) + kNoCell));
            return;
        }
        if (std::optional<std::string_view> field = find_comment_field(comment, "Properties")) {
            Result<ColumnLayout> layout = parse_properties(*field);
            if (!layout) {
                set_error(layout.take_error());
                return;
            }
            layout_ = *layout;
        }
        // Saturates rather than wraps for absurd column indices: no line has
        // that many tokens, so every line is then incomplete.
        constexpr std::uint64_t most = std::numeric_limits<std::uint64_t>::max();
        const std::uint64_t last = std::max(layout_.species, layout_.position > most - 2 ? most : layout_.position + 2);
        tokens_needed_ = last == most ? most : last + 1;
        // An atom line takes at least 8 bytes ("X 0 0 0" and its LF).
        sites_.reserve(static_cast<std::size_t>(std::min({n_atoms, bytes_left / 8 + 1, kMaxReservedSites})));
    }

    bool failed() const { return error_.has_value(); }

    // Atom line j (from 1).
    void add(std::string_view line, std::uint64_t j) {
        LineTokens tokens(line);
        std::string_view species, coordinate[3];
        std::uint64_t index = 0;
        for (; index < tokens_needed_; ++index) {
            const std::string_view token = tokens.next();
            if (token.empty()) break;
            if (index == layout_.species) species = token;
            if (index >= layout_.position && index - layout_.position < 3) coordinate[index - layout_.position] = token;
        }
        if (index < tokens_needed_)
            return set_error(
                fail("frame " + std::to_string(frame_) + ", atom line " + std::to_string(j) + " is incomplete"));
        Vec3 cart;
        for (int k = 0; k < 3; ++k) {
            const std::optional<double> value = parse_coordinate(coordinate[k]);
            if (!value) return set_error(fail(number_error_message(coordinate[k])));
            cart[k] = *value;
        }
        sites_.push_back(Site{lattice_->to_fractional(cart), {SpeciesOccupancy{element_symbol(species), 1.0}}});
    }

    Result<Structure> finish() && {
        if (error_) return std::move(*error_);
        return make_structure(std::move(*lattice_), std::move(sites_));
    }

private:
    void set_error(StructureError error) { error_ = std::move(error); }

    std::uint64_t frame_;
    std::optional<StructureError> error_;
    std::optional<Lattice> lattice_;
    ColumnLayout layout_;
    std::uint64_t tokens_needed_ = 4;
    std::vector<Site> sites_;
};

std::string ends_after(std::uint64_t frame, std::uint64_t read, std::uint64_t n_atoms) {
    return frame_text(frame) + " ends after " + std::to_string(read) + " of " + std::to_string(n_atoms) + " atoms";
}

}  // namespace

Result<TrajectoryResult> read_trajectory(const std::string& path, std::uint64_t every, std::uint64_t start,
                                         std::optional<std::uint64_t> stop, const std::optional<Mat3>& cell) {
    if (every == 0) return fail("every must be at least 1");
    LineStream stream;
    if (std::string why = stream.open(path); !why.empty()) return fail("could not open " + path + ": " + why);
    const auto read_error = [&](const char* what) { return fail(std::string("error reading ") + what + ": " + stream.error()); };

    TrajectoryResult result;
    std::uint64_t frame = 0;
    std::string_view line;
    for (;;) {
        if (stop && frame >= *stop) break;

        LineStatus status;
        do status = stream.next_line(line);
        while (status == LineStatus::line && trim(line).empty());
        if (status == LineStatus::error) return read_error("the atom count");
        if (status == LineStatus::end) break;
        const std::string_view count_text = trim(line);
        const std::optional<std::uint64_t> n_atoms = parse_count(count_text);
        if (!n_atoms)
            return fail(frame_text(frame) + ": expected an atom count, found '" + std::string(count_text) + "'");

        status = stream.next_line(line);
        if (status == LineStatus::error) return read_error("the comment line");
        if (status == LineStatus::end) return fail(frame_text(frame) + " ends before its comment line");

        const bool selected = frame >= start && (frame - start) % every == 0;
        if (!selected) {
            std::uint64_t skipped = 0;
            status = stream.skip_lines(*n_atoms, skipped);
            if (status == LineStatus::error) return read_error("an atom line");
            if (status == LineStatus::end) return fail(ends_after(frame, skipped, *n_atoms));
        } else {
            FrameBuilder builder(frame, *n_atoms, stream.bytes_left_hint(), line, cell);
            std::uint64_t read = 0;
            while (read < *n_atoms && !builder.failed()) {
                status = stream.next_line(line);
                if (status == LineStatus::error) return read_error("an atom line");
                if (status == LineStatus::end) return fail(ends_after(frame, read, *n_atoms));
                builder.add(line, ++read);
            }
            // After a bad line the rest of the frame still has to be there.
            if (read < *n_atoms) {
                std::uint64_t skipped = 0;
                status = stream.skip_lines(*n_atoms - read, skipped);
                if (status == LineStatus::error) return read_error("an atom line");
                if (status == LineStatus::end) return fail(ends_after(frame, read + skipped, *n_atoms));
            }
            Result<Structure> structure = std::move(builder).finish();
            if (!structure) return structure.take_error();
            result.structures.push_back(std::move(*structure));
            result.frame_indices.push_back(frame);
        }
        result.frames_read = ++frame;
    }
    if (result.frames_read == 0) return fail("no frames found in the file");
    if (result.structures.empty())
        return fail("the file has " + std::to_string(result.frames_read) +
                    " frame(s) but none matched start/every/stop");
    return result;
}

}  // namespace kestrel
