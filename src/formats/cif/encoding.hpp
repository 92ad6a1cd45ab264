// The bytes of a CIF file as UTF-8 text. Files from major databases carry
// ISO-8859-1 (Latin-1) bytes in author names and comments; refusing such a
// file whole for an accent in a name loses every structure in it. Where
// the text only describes (comments, quoted and text-field values, words)
// a byte that is not UTF-8 is read as the Latin-1 character it stands for.
// Where the reader takes meaning from the text (tags, numbers, symmetry
// operations) the same byte would be guessed at, so the file is refused
// there, naming the line.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "base/error.hpp"
#include "formats/cif/notices.hpp"

namespace kestrel {

struct CifText {
    std::string text;                // valid UTF-8
    std::size_t latin1_bytes = 0;    // bytes read as Latin-1
    std::vector<std::size_t> lines;  // the lines that held them, from 1, each once
};

// Valid UTF-8 is returned as it is. Message: "line {n}: byte 0x{XX} is not
// UTF-8, and only comments and text values may hold Latin-1 text; save the
// file as UTF-8".
Result<CifText> cif_text_from_bytes(std::string bytes);

// The notice for a text that held Latin-1 bytes (none for a clean one).
void add_latin1_notice(const CifText& text, std::vector<CifNotice>& notices);

}  // namespace kestrel
