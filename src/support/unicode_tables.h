// Character properties used when words are quoted in error messages. The tables behind
// them are generated from the Unicode character database (see unicode_tables.cpp).
#pragma once

namespace quarvex {

// ASCII 0x20..0x7E; above 0x7F every assigned character that is not a control, format,
// surrogate, private-use or separator character.
bool is_printable(char32_t cp) noexcept;

// The Grapheme_Extend property (combining marks and the like).
bool is_grapheme_extend(char32_t cp) noexcept;

}  // namespace quarvex
