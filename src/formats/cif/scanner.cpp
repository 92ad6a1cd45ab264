#include "formats/cif/scanner.hpp"

#include "base/text.hpp"

namespace kestrel {
namespace {

// Printable ASCII is never whitespace: the common case, decided without a call.
bool is_plain_byte(char c) { return c > 0x20 && c < 0x7F; }

char ascii_lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// Tag names are matched without regard to case. Folding ASCII only is enough:
// the one non-ASCII character whose lower case is ASCII (KELVIN SIGN, to 'k')
// cannot make any tag this reader looks up.
std::string lower_tag(std::string_view tag) {
    std::string out(tag);
    for (char& c : out) c = ascii_lower(c);
    return out;
}

bool equals_ignoring_case(std::string_view text, std::string_view lower_word) {
    if (text.size() != lower_word.size()) return false;
    for (std::size_t i = 0; i < text.size(); ++i)
        if (ascii_lower(text[i]) != lower_word[i]) return false;
    return true;
}

bool starts_with(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && text.substr(0, prefix.size()) == prefix;
}

std::string_view strip_quotes(std::string_view text, char quote) {
    while (!text.empty() && text.front() == quote) text.remove_prefix(1);
    while (!text.empty() && text.back() == quote) text.remove_suffix(1);
    return text;
}

// The tokenizer proper, shared by cif_tokenize and the loop reader, which
// appends straight into its value list.
//
// Quotes follow the CIF convention: a quote opens a value only where a value
// starts, and closes it only when whitespace or the end of the line follows.
// So primes in labels (C11', O1'') and apostrophes in names (O'Neill) stay
// inside their value instead of splitting it and shifting every later
// column of a loop row.
template <class Emit>
void tokenize(std::string_view line, Emit&& emit) {
    std::size_t pos = 0;
    const std::size_t size = line.size();
    while (pos < size) {
        const char c = line[pos];
        if (!is_plain_byte(c)) {
            const std::size_t space = space_length_at(line, pos);
            if (space != 0) {
                pos += space;
                continue;
            }
        }
        if (c == '#') return;  // a value starts here, so the rest is a comment
        if (c == '\'' || c == '"') {
            std::size_t close = line.find(c, pos + 1);
            while (close != std::string_view::npos && close + 1 < size && space_length_at(line, close + 1) == 0)
                close = line.find(c, close + 1);
            if (close == std::string_view::npos) {
                // An unclosed quote runs to the end of the line.
                if (pos + 1 < size) emit(line.substr(pos + 1));
                return;
            }
            emit(line.substr(pos + 1, close - pos - 1));
            pos = close + 1;
            continue;
        }
        const std::size_t start = pos;
        while (pos < size && (is_plain_byte(line[pos]) || space_length_at(line, pos) == 0)) ++pos;
        emit(line.substr(start, pos - start));
    }
}

class Scanner {
public:
    explicit Scanner(std::string_view text) : lines_(split_lines(text)) {}

    CifDocument run() {
        while (index_ < lines_.size()) {
            const std::string_view line = trim(lines_[index_]);
            if (line.empty() || line.front() == '#') {
                ++index_;
            } else if (line.front() == ';') {
                ++index_;
                skip_text_field();
            } else if (equals_ignoring_case(line, "loop_")) {
                ++index_;
                read_loop();
            } else if (line.front() == '_') {
                ++index_;
                read_tag(line);
            } else {
                ++index_;
            }
        }
        return std::move(document_);
    }

private:
    static bool closes_text_field(std::string_view line) {
        const std::string_view rest = trim_start(line);
        return !rest.empty() && rest.front() == ';';
    }

    // After the opening ';' line: skip up to and including the closing one.
    void skip_text_field() {
        while (index_ < lines_.size() && !closes_text_field(lines_[index_])) ++index_;
        if (index_ < lines_.size()) ++index_;
    }

    // After the opening ';' line: the following lines, trimmed and joined
    // without separator, up to the closing ';' line, which is consumed. A
    // field that never closes runs to the end of the text.
    std::string_view read_text_field() {
        std::string_view single;
        std::string joined;
        std::size_t pieces = 0;
        for (; index_ < lines_.size() && !closes_text_field(lines_[index_]); ++index_) {
            const std::string_view piece = trim(lines_[index_]);
            if (piece.empty()) continue;
            if (pieces == 0) {
                single = piece;
            } else {
                if (pieces == 1) joined.assign(single);
                joined.append(piece);
            }
            ++pieces;
        }
        if (index_ < lines_.size()) ++index_;
        if (pieces <= 1) return single;
        return document_.owned.emplace_back(std::move(joined));
    }

    std::string_view join(const std::vector<std::string_view>& values, std::size_t first) {
        if (values.size() <= first) return {};
        if (values.size() == first + 1) return values[first];
        std::string joined(values[first]);
        for (std::size_t k = first + 1; k < values.size(); ++k) {
            joined += ' ';
            joined.append(values[k]);
        }
        return document_.owned.emplace_back(std::move(joined));
    }

    void read_tag(std::string_view line) {
        const std::vector<std::string_view> values = cif_tokenize(line);
        std::string tag = lower_tag(values.front());
        if (values.size() >= 2) {
            document_.tags[std::move(tag)] = join(values, 1);
            return;
        }
        while (index_ < lines_.size() && trim(lines_[index_]).empty()) ++index_;
        if (index_ == lines_.size()) return;  // nothing follows: the tag is dropped
        const std::string_view next = trim(lines_[index_]);
        ++index_;
        if (next.front() == ';') {
            document_.tags[std::move(tag)] = read_text_field();
        } else {
            document_.tags[std::move(tag)] = join(cif_tokenize(next), 0);
        }
    }

    static bool ends_loop(std::string_view line) {
        return (!line.empty() && line.front() == '_') ||
               (line.size() > 4 && (starts_with(line, "loop_") || starts_with(line, "data_")));
    }

    void read_loop() {
        CifLoop loop;
        for (; index_ < lines_.size(); ++index_) {
            const std::string_view line = trim(lines_[index_]);
            if (line.empty() || line.front() == '#') continue;
            if (line.front() != '_') break;
            std::string_view rest = line;
            loop.tags.push_back(lower_tag(next_token(rest)));
        }
        const std::size_t width = loop.tags.size();
        while (index_ < lines_.size()) {
            const std::string_view line = trim(lines_[index_]);
            if (ends_loop(line)) break;
            ++index_;
            if (line.empty() || line.front() == '#') continue;
            // A loop without tags still consumes its data lines.
            if (line.front() == ';') {
                const std::string_view value = read_text_field();
                if (width > 0) loop.values.push_back(value);
            } else if (width > 0) {
                tokenize(line, [&](std::string_view value) { loop.values.push_back(value); });
            }
        }
        if (width == 0) return;
        // Values past the last complete row are dropped.
        loop.values.resize(loop.values.size() - loop.values.size() % width);
        document_.loops.push_back(std::move(loop));
    }

    std::vector<std::string_view> lines_;
    std::size_t index_ = 0;
    CifDocument document_;
};

}  // namespace

std::vector<std::string_view> cif_tokenize(std::string_view line) {
    std::vector<std::string_view> values;
    tokenize(line, [&](std::string_view value) { values.push_back(value); });
    return values;
}

std::optional<double> cif_number(std::string_view value) {
    value = strip_quotes(strip_quotes(trim(value), '\''), '"');
    if (value.empty() || value == "." || value == "?") return std::nullopt;
    const std::size_t paren = value.find('(');
    if (paren != std::string_view::npos) value = value.substr(0, paren);
    return try_parse_number(trim(value));
}

std::optional<std::string> cif_element(std::string_view value) {
    value = trim(value);
    if (value.empty()) return std::nullopt;
    const char first = value[0];
    const bool upper = first >= 'A' && first <= 'Z';
    const bool lower = first >= 'a' && first <= 'z';
    if (!upper && !lower) return std::nullopt;
    std::string symbol(1, upper ? first : static_cast<char>(first - 'a' + 'A'));
    if (value.size() > 1 && value[1] >= 'a' && value[1] <= 'z') symbol += value[1];
    return symbol;
}

std::optional<std::size_t> CifLoop::column(std::string_view tag) const {
    for (std::size_t k = 0; k < tags.size(); ++k)
        if (tags[k] == tag) return k;
    return std::nullopt;
}

const std::string_view* CifDocument::tag(const std::string& name) const {
    auto found = tags.find(name);
    return found == tags.end() ? nullptr : &found->second;
}

CifDocument scan_cif(std::string_view text) { return Scanner(text).run(); }

}  // namespace kestrel
