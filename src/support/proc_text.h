// The whole text of a small kernel file (/proc, /sys), read with plain read() calls: a
// stream costs several times the kernel's own work for files of a few hundred bytes.
#pragma once

#include <string>

namespace quarvex {

// The file's text; empty when it cannot be opened or read. May throw std::bad_alloc.
std::string read_proc_text(const char* path);

}  // namespace quarvex
