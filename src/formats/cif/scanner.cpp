#include "formats/cif/scanner.hpp"

#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "base/ascii.hpp"
#include "base/read_file.hpp"
#include "base/text.hpp"
#include "symmetry/operation.hpp"

namespace kestrel {
namespace {

// The ASCII whitespace (line ends included) that ends an unquoted value.
bool is_blank_or_line_end(char c) {
    return c == ' ' || (c >= 0x09 && c <= 0x0D);
}

// Sixteen bytes at a time where the processor allows: most of a CIF is runs
// of printable characters (values, tags) and of blanks that align columns.
#if defined(__SSE2__)
std::uint32_t sixteen_visible(const char* at) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
    // Compared as signed bytes: from 0x80 on they are negative, so never
    // above 0x20.
    const __m128i visible =
        _mm_and_si128(_mm_cmpgt_epi8(bytes, _mm_set1_epi8(0x20)), _mm_cmplt_epi8(bytes, _mm_set1_epi8(0x7F)));
    return static_cast<std::uint32_t>(_mm_movemask_epi8(visible));
}

std::uint32_t sixteen_blanks(const char* at) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
    const __m128i blank =
        _mm_or_si128(_mm_cmpeq_epi8(bytes, _mm_set1_epi8(' ')), _mm_cmpeq_epi8(bytes, _mm_set1_epi8('\t')));
    return static_cast<std::uint32_t>(_mm_movemask_epi8(blank));
}
#endif

// The first position from `pos` whose byte is not printable ASCII, or `size`.
std::size_t skip_visible(const char* data, std::size_t pos, std::size_t size) {
#if defined(__SSE2__)
    for (; pos + 16 <= size; pos += 16)
        if (const std::uint32_t others = ~sixteen_visible(data + pos) & 0xFFFF; others != 0)
            return pos + static_cast<std::size_t>(__builtin_ctz(others));
#endif
    while (pos < size && is_visible_ascii(data[pos])) ++pos;
    return pos;
}

// The first position from `pos` that is neither a space nor a tab, or `size`.
std::size_t skip_blanks(const char* data, std::size_t pos, std::size_t size) {
#if defined(__SSE2__)
    for (; pos + 16 <= size; pos += 16)
        if (const std::uint32_t others = ~sixteen_blanks(data + pos) & 0xFFFF; others != 0)
            return pos + static_cast<std::size_t>(__builtin_ctz(others));
#endif
    while (pos < size && (data[pos] == ' ' || data[pos] == '\t')) ++pos;
    return pos;
}

struct Token {
    std::string_view text;
    std::size_t line;  // from 0; a text field's is its opening line
    bool quoted;       // quotes or a text field: always a value
};

enum class TokenKind { value, tag, loop, data, other_keyword };

// Most tokens are values whose first character rules out a tag or a
// keyword: decided without the full test.
bool plainly_value(const Token& token) {
    if (token.quoted || token.text.empty()) return true;
    switch (token.text.front()) {
        case '_':
        case 'd':
        case 'D':
        case 'l':
        case 'L':
        case 's':
        case 'S':
        case 'g':
        case 'G': return false;
        default: return true;
    }
}

TokenKind kind_of(const Token& token) {
    if (token.quoted || token.text.empty()) return TokenKind::value;
    switch (token.text.front()) {
        case '_': return TokenKind::tag;
        case 'd':
        case 'D': return starts_with_ignoring_case(token.text, "data_") ? TokenKind::data : TokenKind::value;
        case 'l':
        case 'L':
            return token.text.size() == 5 && starts_with_ignoring_case(token.text, "loop_") ? TokenKind::loop
                                                                                            : TokenKind::value;
        // Save frames, the global block and stop_ belong to dictionaries;
        // their keywords separate values but carry none.
        case 's':
        case 'S':
            return starts_with_ignoring_case(token.text, "save_") || starts_with_ignoring_case(token.text, "stop_")
                       ? TokenKind::other_keyword
                       : TokenKind::value;
        case 'g':
        case 'G': return starts_with_ignoring_case(token.text, "global_") ? TokenKind::other_keyword : TokenKind::value;
        default: return TokenKind::value;
    }
}

// Hands out the tokens of the whole text one at a time, so that no token
// or line is ever held beyond the one being parsed.
//
// Quotes follow the CIF convention: a quote opens a value only where a value
// starts, and closes it only when whitespace or the end of the line follows.
// So primes in labels (C11', O1'') and apostrophes in names (O'Neill) stay
// inside their value instead of splitting it and shifting every later
// column of a loop row. An unclosed quote runs to the end of its line. A
// text field runs from a ';' that starts a line (after blanks) to the next
// line that so starts. '#' where a value would start comments out the rest
// of the line.
class Lexer {
public:
    explicit Lexer(std::string_view text) : text_(text), complete_last_line_(ends_with_line_end(text)) {}

    // False at the end of the text. Positions are kept in locals in the
    // loops over bytes, where most of a CIF's reading time goes.
    bool next(Token& token) {
        const char* const data = text_.data();
        const std::size_t size = text_.size();
        std::size_t pos = pos_;
        for (;;) {
            pos = skip_blanks(data, pos, size);
            if (pos >= size) {
                pos_ = pos;
                return false;
            }
            const char c = data[pos];
            if (c == '\n') {
                ++pos;
                ++line_;
                line_start_ = true;
                continue;
            }
            if (!is_visible_ascii(c)) {
                const std::size_t space = space_length_at(text_, pos);
                if (space != 0) {
                    pos += space;
                    continue;
                }
            }
            pos_ = pos;
            const bool line_start = line_start_;
            line_start_ = false;
            if (c == ';' && line_start) {
                const std::size_t opening = line_;
                token = {text_field(), opening, true};
                return true;
            }
            if (c == '#') {
                pos = line_end();
                continue;
            }
            if (c == '\'' || c == '"') {
                const bool value = quoted(c, token);
                if (value) return true;
                pos = pos_;
                continue;
            }
            std::size_t end = skip_visible(data, pos + 1, size);
            while (end < size) {
                const char d = data[end];
                if (static_cast<unsigned char>(d) <= 0x20 ? is_blank_or_line_end(d) : space_length_at(text_, end) != 0)
                    break;
                end = skip_visible(data, end + 1, size);
            }
            token = {std::string_view(data + pos, end - pos), line_, false};
            pos_ = end;
            return true;
        }
    }

    // The line the lexer is on, from 0: after the last token, the last line.
    std::size_t line() const { return line_; }

    // A text cut short: it ends inside a text field, or inside a quoted
    // value on a last line without a line end.
    std::optional<StructureError> fault;

private:
    // The end of the current line: its '\n', or the end of the text.
    // Remembered, so that a line of many quoted values is searched once.
    std::size_t line_end() {
        if (line_end_ < pos_ || line_end_ == std::string_view::npos) {
            line_end_ = text_.find('\n', pos_);
            if (line_end_ == std::string_view::npos) line_end_ = text_.size();
        }
        return line_end_;
    }

    // At an opening quote. False when the quote opens nothing but blanks up
    // to the line's end: no value. Out of line, as text_field below, so
    // that the loop over plain values stays small.
    [[gnu::noinline]] bool quoted(char quote, Token& token) {
        const std::size_t end = line_end();
        const std::string_view line = text_.substr(0, end);
        std::size_t close = line.find(quote, pos_ + 1);
        while (close != std::string_view::npos && close + 1 < end && space_length_at(text_, close + 1) == 0)
            close = line.find(quote, close + 1);
        if (close != std::string_view::npos) {
            token = {text_.substr(pos_ + 1, close - pos_ - 1), line_, true};
            pos_ = close + 1;
            return true;
        }
        const std::string_view rest = trim_end(text_.substr(pos_ + 1, end - pos_ - 1));
        pos_ = end;
        if (end == text_.size() && !complete_last_line_ && !fault)
            fault = fail_at_line(line_ + 1, "the file ends inside a quoted value: it is cut short");
        if (rest.empty()) return false;
        token = {rest, line_, true};
        return true;
    }

    // At the opening ';'. The value runs from right after it to the end of
    // the line before the closing ';' line; line breaks inside stay, so a
    // formula or a title that wraps keeps its words apart. Blanks around the
    // value go: the readers take numbers and symbols from such fields. What
    // follows the closing ';' on its line is read on as values.
    [[gnu::noinline]] std::string_view text_field() {
        const std::size_t opening_line = line_;
        const std::size_t start = pos_ + 1;
        std::size_t end = line_end();
        while (end < text_.size()) {
            ++line_;
            std::size_t next = end + 1;
            while (next < text_.size() && text_[next] != '\n' && !is_visible_ascii(text_[next])) {
                const std::size_t space = space_length_at(text_, next);
                if (space == 0) break;
                next += space;
            }
            if (next < text_.size() && text_[next] == ';') {
                pos_ = next + 1;
                return trim(text_.substr(start, end - start));
            }
            pos_ = next;
            end = line_end();
        }
        pos_ = end;
        // Everything after a field that never closes would be read as its
        // text, atoms included.
        if (!fault)
            fault = fail_at_line(opening_line + 1,
                                 "the text field that opens here (a line starting with ';') is never closed by a "
                                 "';' line: the file is cut short, or the closing line is missing");
        return trim(text_.substr(start, end - start));
    }

    std::string_view text_;
    std::size_t pos_ = 0;
    std::size_t line_ = 0;
    std::size_t line_end_ = std::string_view::npos;
    bool line_start_ = true;
    bool complete_last_line_;
};

// Builds the blocks from the tokens as the lexer hands them out, one token
// ahead.
class Parser {
public:
    Parser(std::string_view text, CifDocument& document)
        : lexer_(text), document_(document), complete_last_line_(ends_with_line_end(text)) {}

    void run() {
        advance();
        while (have_) {
            const Token token = token_;
            advance();
            switch (kind_of(token)) {
                case TokenKind::data:
                    document_.blocks.push_back(CifBlock{std::string(token.text.substr(5)), {}, {}});
                    break;
                case TokenKind::loop: read_loop(token.text.data()); break;
                case TokenKind::tag: read_tag(token); break;
                default: break;  // a stray value or a dictionary keyword
            }
        }
    }

    // The text cut short, else the first loop that cannot be whole.
    std::optional<StructureError> take_fault() {
        if (lexer_.fault) return std::move(lexer_.fault);
        return std::move(fault_);
    }

private:
    void advance() { have_ = lexer_.next(token_); }

    bool at_value() const { return have_ && (plainly_value(token_) || kind_of(token_) == TokenKind::value); }

    CifBlock& block() {
        if (document_.blocks.empty()) document_.blocks.push_back(CifBlock{});
        return document_.blocks.back();
    }

    // A tag takes the next value. Unquoted words that follow it on the same
    // line join it with single spaces, so an unquoted symbol with spaces
    // ('P 21/c') stays whole. A tag with no value before the next tag or
    // keyword is dropped.
    void read_tag(const Token& tag) {
        if (!at_value()) return;
        const Token first = token_;
        advance();
        std::string_view value = first.text;
        if (at_value() && !token_.quoted && token_.line == first.line) {
            std::string joined(value);
            while (at_value() && !token_.quoted && token_.line == first.line) {
                joined += ' ';
                joined.append(token_.text);
                advance();
            }
            value = document_.owned.emplace_back(std::move(joined));
        }
        // Tags are matched without regard to case. Folding ASCII only is enough:
        // the one non-ASCII character whose lower case is ASCII (KELVIN SIGN, to
        // 'k') cannot make any tag this reader looks up.
        block().tags[ascii_lower(tag.text)] = value;
    }

    // Column tags, then values up to the next tag or keyword. A row may span
    // lines and a line may hold several rows.
    void read_loop(const char* start) {
        CifLoop loop(start);
        while (have_ && kind_of(token_) == TokenKind::tag) {
            loop.tags.push_back(ascii_lower(token_.text));
            advance();
        }
        const std::size_t width = loop.tags.size();
        std::size_t row_line = 0, last_line = 0, column = 0;
        for (; at_value(); advance()) {
            if (width == 0) continue;  // a loop without tags still consumes its values
            if (column == 0) row_line = token_.line;
            column = column + 1 == width ? 0 : column + 1;
            last_line = token_.line;
            if (!loop.add(token_.text) && !fault_)
                fault_ = fail_limit("the loop of " + loop.tags.front() +
                                    " spans 4 GiB or more of text, more than this reader accepts");
        }
        if (width == 0) return;
        if (!fault_) check_whole(loop, row_line, last_line);
        block().loops.push_back(std::move(loop));
    }

    // A loop whose values stop inside a row lost that row's atoms (and a
    // row that lacks a value shifts every later one); so does a file cut
    // in the last value of its last row, which counts right.
    void check_whole(const CifLoop& loop, std::size_t row_line, std::size_t last_line) {
        const std::size_t width = loop.tags.size();
        const std::size_t left = loop.n_values() % width;
        if (left != 0) {
            fault_ = fail_at_line(row_line + 1, "the last row of the loop of " + loop.tags.front() + " has " +
                                                    std::to_string(left) + " of its " + std::to_string(width) +
                                                    " values: the file is cut short, or a row lacks a value");
            return;
        }
        // The loop runs to the end of the text, whose last line is cut.
        if (loop.n_values() == 0 || have_ || complete_last_line_ || last_line != lexer_.line()) return;
        fault_ = fail_at_line(last_line + 1, unended_last_line_message("inside the loop of " + loop.tags.front()));
    }

    Lexer lexer_;
    Token token_{};
    bool have_ = false;
    CifDocument& document_;
    bool complete_last_line_;
    std::optional<StructureError> fault_;
};

}  // namespace

std::optional<StructureError> check_cif_head(std::string_view head) {
    std::string_view rest = head;
    for (std::string_view token = next_token(rest); !token.empty(); token = next_token(rest))
        if (token.front() == '_' || starts_with_ignoring_case(token, "data_") ||
            starts_with_ignoring_case(token, "loop_"))
            return std::nullopt;
    return fail("not a CIF: the first " + byte_count_text(head.size()) +
                " of the text hold no data block, loop or tag");
}

bool cif_value_missing(std::string_view value) {
    value = trim(value);
    return value.empty() || value == "." || value == "?";
}

std::optional<double> cif_number(std::string_view value) {
    value = strip_quotes(strip_quotes(trim(value), '\''), '"');
    if (value.empty() || value == "." || value == "?") return std::nullopt;
    const std::size_t paren = value.find('(');
    if (paren != std::string_view::npos) value = value.substr(0, paren);
    value = trim(value);
    if (value.find('/') == std::string_view::npos) return try_parse_number(value);
    // Some files write special positions as fractions: '3/4', '-1/3'.
    Result<double> fraction = parse_symmetry_number(value);
    if (!fraction) return std::nullopt;
    return *fraction;
}

std::optional<std::size_t> CifLoop::column(std::string_view tag) const {
    for (std::size_t k = 0; k < tags.size(); ++k)
        if (tags[k] == tag) return k;
    return std::nullopt;
}

const std::string_view* CifBlock::tag(const std::string& name) const {
    auto found = tags.find(name);
    return found == tags.end() ? nullptr : &found->second;
}

const CifLoop* CifBlock::loop_with(std::string_view column) const {
    for (const CifLoop& loop : loops)
        if (loop.column(column)) return &loop;
    return nullptr;
}

void CifLoop::new_chunk() {
    chunks_.emplace_back();
    // The first chunk grows as needed: most loops are short.
    if (chunks_.size() > 1) chunks_.back().reserve(kChunkMask + 1);
}

Result<CifDocument> scan_cif(std::string_view text) {
    CifDocument document;
    Parser parser(text, document);
    parser.run();
    if (std::optional<StructureError> fault = parser.take_fault()) return std::move(*fault);
    return document;
}

}  // namespace kestrel
