// Numbers of ASCII STL: the accepted syntax and the rounding to f32.
//
// Syntax (the whole word): an optional sign, then either the words inf, infinity or nan in
// any case, or digits with an optional "." and more digits (at least one digit in all) and
// an optional exponent ("e"/"E", optional sign, at least one digit). The value is the exact
// decimal rounded to nearest f32, ties to even, whatever the number of digits: overflow
// gives an infinity, underflow a subnormal or a zero that keeps the sign.
#pragma once

#include <string>
#include <string_view>

namespace quarvex::stl {

// Returns false when `word` is outside the syntax; otherwise stores its value (which may be
// infinite or NaN).
bool parse_f32(std::string_view word, float& value);

// The word that starts at p (not at white space) and runs to the next white space or `end`,
// read as a number in the same pass that finds its end: returns the word's end, and whether
// the word is a number (then `value` holds it), exactly as parse_f32 of the word would.
const char* read_f32_word(const char* p, const char* end, bool& valid, float& value);

// "expected finite f32, got <NaN|inf|-inf> which is <Nan|Infinite>" for a non-finite value.
std::string non_finite_message(float value);

}  // namespace quarvex::stl
