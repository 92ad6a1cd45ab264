#include "formats/cif/encoding.hpp"

#include <cstdio>
#include <string_view>

#include "base/text.hpp"
#include "base/utf8.hpp"

namespace kestrel {
namespace {

// How many bytes of valid UTF-8 start at `pos` (one character), or 0.
std::size_t utf8_length_at(std::string_view text, std::size_t pos) {
    if (static_cast<unsigned char>(text[pos]) < 0x80) return 1;
    Utf8Stream stream;
    for (std::size_t n = 1; n <= 4 && pos + n <= text.size(); ++n) {
        if (!stream.feed(text.data() + pos + n - 1, 1)) return 0;
        if (stream.complete()) return n;
    }
    return 0;
}

bool is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

bool is_non_ascii(char c) {
    return static_cast<unsigned char>(c) >= 0x80;
}

// Apart from its non-ASCII bytes, a value made only of the characters of
// numbers, with a digit ('90°' with a Latin-1 degree sign), or of symmetry
// operations, with an axis and two commas.
bool carries_meaning(std::string_view value) {
    if (!value.empty() && value.front() == '_') return true;  // a tag
    bool number = true, operation = true, axis = false, digits = false;
    int commas = 0;
    for (char c : value) {
        if (is_non_ascii(c)) continue;
        const bool digit = c >= '0' && c <= '9';
        digits = digits || digit;
        number = number && (digit || std::string_view(".+-eE()/").find(c) != std::string_view::npos);
        axis = axis || std::string_view("xyzXYZ").find(c) != std::string_view::npos;
        commas += c == ',';
        operation = operation && (digit || std::string_view("xyzXYZ+-*/., ").find(c) != std::string_view::npos);
    }
    return (number && digits) || (operation && axis && commas == 2);
}

// The spans of one line outside text fields where Latin-1 is allowed:
// everything but values that carry meaning. Marks each byte of the line.
std::vector<bool> latin1_allowed(std::string_view line) {
    std::vector<bool> allowed(line.size(), false);
    std::size_t pos = 0;
    while (pos < line.size()) {
        if (is_blank(line[pos])) {
            ++pos;
            continue;
        }
        std::size_t start = pos, end;
        if (line[pos] == '#') {
            for (std::size_t k = pos; k < line.size(); ++k) allowed[k] = true;
            return allowed;
        }
        if (line[pos] == '\'' || line[pos] == '"') {
            // A quote closes only before a blank or the line's end.
            const char quote = line[pos];
            end = pos + 1;
            while (end < line.size() && !(line[end] == quote && (end + 1 == line.size() || is_blank(line[end + 1]))))
                ++end;
            ++start;
            pos = end + 1;
        } else {
            end = pos;
            while (end < line.size() && !is_blank(line[end])) ++end;
            pos = end;
        }
        const bool free_text = !carries_meaning(line.substr(start, end - start));
        for (std::size_t k = start; k < end && k < line.size(); ++k) allowed[k] = free_text;
    }
    return allowed;
}

bool opens_or_closes_text_field(std::string_view line) {
    const std::string_view rest = trim_start(line);
    return !rest.empty() && rest.front() == ';';
}

void append_latin1(std::string& out, unsigned char byte) {
    out += static_cast<char>(0xC0 | (byte >> 6));
    out += static_cast<char>(0x80 | (byte & 0x3F));
}

}  // namespace

Result<CifText> cif_text_from_bytes(std::string bytes) {
    if (is_valid_utf8(bytes)) return CifText{std::move(bytes), 0, {}};
    CifText out;
    out.text.reserve(bytes.size() + bytes.size() / 8);
    bool in_text_field = false;
    std::size_t line_number = 0;
    for (std::string_view line : split_lines(bytes)) {
        ++line_number;
        const bool toggles = opens_or_closes_text_field(line);
        // The opening line's rest belongs to the field; so does all between.
        const bool all_text = in_text_field || toggles;
        if (toggles) in_text_field = !in_text_field;
        std::vector<bool> allowed;
        bool noted = false;
        for (std::size_t pos = 0; pos < line.size();) {
            const std::size_t length = utf8_length_at(line, pos);
            if (length != 0) {
                out.text.append(line.substr(pos, length));
                pos += length;
                continue;
            }
            if (!all_text && allowed.empty()) allowed = latin1_allowed(line);
            const auto byte = static_cast<unsigned char>(line[pos]);
            if (!all_text && !allowed[pos]) {
                char hex[8];
                std::snprintf(hex, sizeof hex, "%02X", byte);
                return fail("line " + std::to_string(line_number) + ": byte 0x" + hex +
                            " is not UTF-8, and only comments and text values may hold Latin-1 text; save the "
                            "file as UTF-8");
            }
            append_latin1(out.text, byte);
            ++out.latin1_bytes;
            if (!noted) out.lines.push_back(line_number);
            noted = true;
            ++pos;
        }
        out.text += '\n';
    }
    return out;
}

void add_latin1_notice(const CifText& text, std::vector<CifNotice>& notices) {
    if (text.latin1_bytes == 0) return;
    CifNotices latin1;
    for (std::size_t line : text.lines) latin1.add(CifNoticeKind::latin1_text, "line " + std::to_string(line), 0);
    latin1.add(CifNoticeKind::latin1_text, {}, text.latin1_bytes);
    std::vector<CifNotice> made = latin1.take();
    notices.insert(notices.begin(), made.front());
}

}  // namespace kestrel
