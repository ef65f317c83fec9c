#include "stl/ascii_reader.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "stl/first_line.h"
#include "stl/float_syntax.h"
#include "support/utf8.h"
#include "stl/word_list.h"

namespace quarvex::stl {
namespace {

constexpr std::string_view kOuterLoop[] = {"outer", "loop"};
constexpr std::string_view kEndloop[] = {"endloop"};
constexpr std::string_view kEndfacet[] = {"endfacet"};

// A line copied across refills keeps its storage for the next one, up to this size.
constexpr std::size_t kKeptLineCapacity = 1 << 20;

ReadError utf8_error() { return invalid_data_error("stream did not contain valid UTF-8"); }

}  // namespace

ReadResult<AsciiFacetReader> AsciiFacetReader::create(StlSource& source, bool first_line_taken) {
  AsciiFacetReader reader{BufferedReader(source)};
  ReadError error;
  if (!first_line_taken && reader.read_first_line(error)) return error;
  return reader;
}

ReadError* AsciiFacetReader::read_first_line(ReadError& error) {
  FirstLineScan scan;
  for (;;) {
    if (reader_.available() == 0) {
      const IoResult r = reader_.fill();
      if (r.os_errno != 0) {
        error = os_read_error(r.os_errno);
        return &error;
      }
      if (r.count == 0) break;
    }
    const auto* p = reinterpret_cast<const unsigned char*>(reader_.data());
    const std::size_t avail = reader_.available();
    const auto* nl = static_cast<const unsigned char*>(std::memchr(p, '\n', avail));
    const std::size_t n = nl ? static_cast<std::size_t>(nl - p) + 1 : avail;
    scan.feed(p, n);
    reader_.consume(n);
    if (nl) break;
  }
  if (scan.length() == 0) {
    error = unexpected_eof_error("empty file?");
    return &error;
  }
  if (!scan.valid_utf8()) {
    error = utf8_error();
    return &error;
  }
  if (!scan.has_prefix()) {
    error = invalid_data_error("ascii STL does not start with \"solid \"");
    return &error;
  }
  return nullptr;
}

AsciiFacetReader::LineStatus AsciiFacetReader::next_line(std::string_view& line, ReadError& error) {
  if (long_line_.capacity() > kKeptLineCapacity) {
    PodVector<char>().swap(long_line_);
  } else {
    long_line_.clear();
  }
  bool copied = false;
  bool has_newline = false;
  for (;;) {
    if (reader_.available() == 0) {
      const IoResult r = reader_.fill();
      if (r.os_errno != 0) {
        error = os_read_error(r.os_errno);
        return LineStatus::kError;
      }
      if (r.count == 0) {
        if (!copied) return LineStatus::kEnd;
        line = std::string_view(long_line_.data(), long_line_.size());
        break;
      }
    }
    const char* p = reinterpret_cast<const char*>(reader_.data());
    const std::size_t avail = reader_.available();
    const auto* nl = static_cast<const char*>(std::memchr(p, '\n', avail));
    if (nl) {
      const std::size_t n = static_cast<std::size_t>(nl - p);
      has_newline = true;
      if (copied) {
        long_line_.append(p, n);
        line = std::string_view(long_line_.data(), long_line_.size());
      } else {
        line = std::string_view(p, n);  // in place: valid until the next refill
      }
      reader_.consume(n + 1);
      break;
    }
    long_line_.append(p, avail);
    copied = true;
    reader_.consume(avail);
  }
  if (!is_valid_utf8(line)) {
    error = utf8_error();
    return LineStatus::kError;
  }
  if (has_newline && !line.empty() && line.back() == '\r') line.remove_suffix(1);
  return LineStatus::kLine;
}

AsciiFacetReader::LineStatus AsciiFacetReader::next_word_line(ReadError& error) {
  for (;;) {
    const LineStatus s = next_line(line_, error);
    if (s != LineStatus::kLine) return s;
    word_count_ = split_words(line_, words_);
    if (word_count_ != 0) return LineStatus::kLine;
  }
}

ReadError AsciiFacetReader::words_error(std::string_view before) const {
  return invalid_data_error(line_words_message(before, line_));
}

bool AsciiFacetReader::expect_words(std::span<const std::string_view> expected, ReadError& error) {
  switch (next_word_line(error)) {
    case LineStatus::kError:
      return false;
    case LineStatus::kEnd:
      error = unexpected_eof_error("EOF while expecting " + word_list_text(expected));
      return false;
    case LineStatus::kLine:
      break;
  }
  if (std::equal(words_.begin(), words_.begin() + word_count_, expected.begin(), expected.end())) {
    return true;
  }
  error = words_error("expected " + word_list_text(expected) + ", got ");
  return false;
}

bool AsciiFacetReader::parse_coordinates(std::size_t first_word, Vec3f& out, ReadError& error) {
  float v[3];
  for (int k = 0; k < 3; ++k) {
    if (!parse_f32(words_[first_word + k], v[k])) {
      error = invalid_data_error("invalid float literal");
      return false;
    }
    if (!std::isfinite(v[k])) {
      error = invalid_data_error(non_finite_message(v[k]));
      return false;
    }
  }
  out = Vec3f{v[0], v[1], v[2]};
  return true;
}

NextTriangle AsciiFacetReader::next_triangle(RawTriangle& out, ReadError& error) {
  switch (next_word_line(error)) {
    case LineStatus::kError:
      return NextTriangle::kError;
    case LineStatus::kEnd:
      error = unexpected_eof_error("EOF while expecting facet or endsolid.");
      return NextTriangle::kError;
    case LineStatus::kLine:
      break;
  }
  if (words_[0] == "endsolid") return NextTriangle::kEnd;
  if (word_count_ != 5 || words_[0] != "facet" || words_[1] != "normal") {
    error = words_error("invalid facet header: ");
    return NextTriangle::kError;
  }
  if (!parse_coordinates(2, out.normal, error)) return NextTriangle::kError;
  if (!expect_words(kOuterLoop, error)) return NextTriangle::kError;
  for (Vec3f& vertex : out.vertex) {
    switch (next_word_line(error)) {
      case LineStatus::kError:
        return NextTriangle::kError;
      case LineStatus::kEnd:
        error = unexpected_eof_error("EOF while expecting vertex");
        return NextTriangle::kError;
      case LineStatus::kLine:
        break;
    }
    if (word_count_ != 4 || words_[0] != "vertex") {
      error = words_error("vertex f32 f32 f32, got ");
      return NextTriangle::kError;
    }
    if (!parse_coordinates(1, vertex, error)) return NextTriangle::kError;
  }
  if (!expect_words(kEndloop, error)) return NextTriangle::kError;
  if (!expect_words(kEndfacet, error)) return NextTriangle::kError;
  return NextTriangle::kTriangle;
}

}  // namespace quarvex::stl
