#include "formats/cif/scanner.hpp"

#include <algorithm>

#include "base/ascii.hpp"
#include "base/read_file.hpp"
#include "base/text.hpp"
#include "symmetry/operation.hpp"

namespace kestrel {
namespace {

// The tokenizer proper, shared by cif_tokenize and the scanner. `emit` gets
// each value and whether it was quoted (a quoted value is never a tag or a
// keyword).
//
// Quotes follow the CIF convention: a quote opens a value only where a value
// starts, and closes it only when whitespace or the end of the line follows.
// So primes in labels (C11', O1'') and apostrophes in names (O'Neill) stay
// inside their value instead of splitting it and shifting every later
// column of a loop row.
// Returns whether the line ends inside a quote that never closes.
template <class Emit>
bool tokenize(std::string_view line, Emit&& emit) {
    std::size_t pos = 0;
    const std::size_t size = line.size();
    while (pos < size) {
        const char c = line[pos];
        if (!is_visible_ascii(c)) {
            const std::size_t space = space_length_at(line, pos);
            if (space != 0) {
                pos += space;
                continue;
            }
        }
        if (c == '#') return false;  // a value starts here, so the rest is a comment
        if (c == '\'' || c == '"') {
            std::size_t close = line.find(c, pos + 1);
            while (close != std::string_view::npos && close + 1 < size && space_length_at(line, close + 1) == 0)
                close = line.find(c, close + 1);
            if (close == std::string_view::npos) {
                // An unclosed quote runs to the end of the line.
                if (pos + 1 < size) emit(line.substr(pos + 1), true);
                return true;
            }
            emit(line.substr(pos + 1, close - pos - 1), true);
            pos = close + 1;
            continue;
        }
        const std::size_t start = pos;
        while (pos < size && (is_visible_ascii(line[pos]) || space_length_at(line, pos) == 0)) ++pos;
        emit(line.substr(start, pos - start), false);
    }
    return false;
}

struct Token {
    std::string_view text;
    std::size_t line;
    bool quoted;  // quotes or a text field: always a value
};

enum class TokenKind { value, tag, loop, data, other_keyword };

TokenKind kind_of(const Token& token) {
    if (token.quoted || token.text.empty()) return TokenKind::value;
    if (token.text.front() == '_') return TokenKind::tag;
    if (starts_with_ignoring_case(token.text, "data_")) return TokenKind::data;
    if (token.text.size() == 5 && starts_with_ignoring_case(token.text, "loop_")) return TokenKind::loop;
    // Save frames, the global block and stop_ belong to dictionaries; their
    // keywords separate values but carry none.
    if (starts_with_ignoring_case(token.text, "save_") || starts_with_ignoring_case(token.text, "global_") ||
        starts_with_ignoring_case(token.text, "stop_"))
        return TokenKind::other_keyword;
    return TokenKind::value;
}

bool closes_text_field(std::string_view line) {
    const std::string_view rest = trim_start(line);
    return !rest.empty() && rest.front() == ';';
}

// Cuts the whole text into tokens: the values of each line, and one token per
// text field (a line whose first non-blank character is ';' up to the next
// such line). A text that ends inside a text field, or inside a quoted value
// on a last line without a line end, has been cut short: `fault` says where.
class Tokenizer {
public:
    explicit Tokenizer(std::string_view text)
        : lines_(split_lines(text)), complete_last_line_(ends_with_line_end(text)) {}

    std::vector<Token> run() {
        std::vector<Token> tokens;
        while (index_ < lines_.size()) {
            const std::size_t line = index_;
            const std::string_view trimmed = trim(lines_[index_++]);
            if (!trimmed.empty() && trimmed.front() == ';') {
                tokens.push_back({read_text_field(line, trimmed), line, true});
                continue;
            }
            const bool open_quote = tokenize(
                trimmed, [&](std::string_view value, bool quoted) { tokens.push_back({value, line, quoted}); });
            if (open_quote && index_ == lines_.size() && !complete_last_line_ && !fault)
                fault = fail_at_line(line + 1, "the file ends inside a quoted value: it is cut short");
        }
        return tokens;
    }

    std::optional<StructureError> fault;

private:
    // From right after the opening ';' to the end of the line before the
    // closing ';' line, which is consumed; line breaks inside stay, so a
    // formula or a title that wraps keeps its words apart. Blanks around
    // the value go: the readers take numbers and symbols from such fields.
    std::string_view read_text_field(std::size_t opening_line, std::string_view opening) {
        const char* start = opening.data() + 1;
        const char* end = opening.data() + opening.size();
        for (; index_ < lines_.size() && !closes_text_field(lines_[index_]); ++index_)
            end = lines_[index_].data() + lines_[index_].size();
        if (index_ < lines_.size()) {
            ++index_;
        } else if (!fault) {
            // Everything after a field that never closes would be read as
            // its text, atoms included.
            fault = fail_at_line(opening_line + 1,
                                 "the text field that opens here (a line starting with ';') is never closed by a "
                                 "';' line: the file is cut short, or the closing line is missing");
        }
        return trim(std::string_view(start, static_cast<std::size_t>(end - start)));
    }

    std::vector<std::string_view> lines_;
    std::size_t index_ = 0;
    bool complete_last_line_;
};

// Builds the blocks from the token stream.
class Parser {
public:
    // `cut_line`: the index of the last line when it has no line end, else npos.
    Parser(std::vector<Token> tokens, CifDocument& document, std::size_t cut_line)
        : tokens_(std::move(tokens)), document_(document), cut_line_(cut_line) {}

    // The first loop that cannot be whole: a row short of values, or a last
    // row on a last line without a line end, whose last value may be cut.
    std::optional<StructureError> fault;

    void run() {
        while (at_ < tokens_.size()) {
            const Token& token = tokens_[at_];
            switch (kind_of(token)) {
                case TokenKind::data:
                    document_.blocks.push_back(CifBlock{std::string(token.text.substr(5)), {}, {}});
                    ++at_;
                    break;
                case TokenKind::loop:
                    ++at_;
                    read_loop();
                    break;
                case TokenKind::tag:
                    ++at_;
                    read_tag(token);
                    break;
                default:
                    ++at_;  // a stray value or a dictionary keyword
                    break;
            }
        }
    }

private:
    CifBlock& block() {
        if (document_.blocks.empty()) document_.blocks.push_back(CifBlock{});
        return document_.blocks.back();
    }

    bool value_at(std::size_t index) const {
        return index < tokens_.size() && kind_of(tokens_[index]) == TokenKind::value;
    }

    // A tag takes the next value. Unquoted words that follow it on the same
    // line join it with single spaces, so an unquoted symbol with spaces
    // ('P 21/c') stays whole. A tag with no value before the next tag or
    // keyword is dropped.
    void read_tag(const Token& tag) {
        if (!value_at(at_)) return;
        const std::size_t first = at_++;
        std::size_t last = first;
        while (value_at(at_) && !tokens_[at_].quoted && tokens_[at_].line == tokens_[first].line) last = at_++;
        std::string_view value = tokens_[first].text;
        if (last != first) {
            std::string joined(value);
            for (std::size_t k = first + 1; k <= last; ++k) {
                joined += ' ';
                joined.append(tokens_[k].text);
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
    void read_loop() {
        CifLoop loop;
        while (at_ < tokens_.size() && kind_of(tokens_[at_]) == TokenKind::tag)
            loop.tags.push_back(ascii_lower(tokens_[at_++].text));
        const std::size_t width = loop.tags.size();
        const std::size_t first = at_;
        for (; value_at(at_); ++at_)
            if (width > 0) loop.values.push_back(tokens_[at_].text);
        if (width == 0) return;  // a loop without tags still consumes its values
        if (!fault) check_whole(loop, first);
        block().loops.push_back(std::move(loop));
    }

    // A loop whose values stop inside a row lost that row's atoms (and a
    // row that lacks a value shifts every later one); so does a file cut
    // in the last value of its last row, which counts right.
    void check_whole(const CifLoop& loop, std::size_t first) {
        const std::size_t width = loop.tags.size();
        const std::size_t left = loop.values.size() % width;
        if (left != 0) {
            const Token& start = tokens_[first + loop.values.size() - left];
            fault = fail_at_line(start.line + 1, "the last row of the loop of " + loop.tags.front() + " has " +
                                                     std::to_string(left) + " of its " + std::to_string(width) +
                                                     " values: the file is cut short, or a row lacks a value");
            return;
        }
        if (loop.values.empty() || at_ != tokens_.size()) return;
        const Token& last = tokens_[at_ - 1];
        if (last.line != cut_line_) return;
        fault = fail_at_line(last.line + 1, unended_last_line_message("inside the loop of " + loop.tags.front()));
    }

    std::vector<Token> tokens_;
    std::size_t at_ = 0;
    CifDocument& document_;
    std::size_t cut_line_;
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

std::vector<std::string_view> cif_tokenize(std::string_view line) {
    std::vector<std::string_view> values;
    tokenize(line, [&](std::string_view value, bool) { values.push_back(value); });
    return values;
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

Result<CifDocument> scan_cif(std::string_view text) {
    CifDocument document;
    Tokenizer tokenizer(text);
    std::vector<Token> tokens = tokenizer.run();
    if (tokenizer.fault) return std::move(*tokenizer.fault);
    const std::size_t cut_line = ends_with_line_end(text)
                                     ? std::string_view::npos
                                     : static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
    Parser parser(std::move(tokens), document, cut_line);
    parser.run();
    if (parser.fault) return std::move(*parser.fault);
    return document;
}

}  // namespace kestrel
