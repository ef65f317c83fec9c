// The whole text of a small kernel file (/proc, /sys), read with plain read() calls: a
// stream costs several times the kernel's own work for files of a few hundred bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quarvex {

// The file's text; empty when it cannot be opened or read. May throw std::bad_alloc.
std::string read_proc_text(const char* path);

// Word `index` of `line` (separated by single blanks, as the kernel writes them), or empty.
std::string_view proc_word(std::string_view line, std::size_t index) noexcept;

// Word `word` (counted from 0) of a kernel file's text as a number, the line end ignored;
// nothing for "max", a missing word, or anything but plain decimal digits ("-1" included).
std::optional<std::uint64_t> proc_number(std::string_view text, int word = 0) noexcept;

}  // namespace quarvex
