#include "stl/ascii_reader.h"

#include <cstring>
#include <span>

#include "stl/first_line.h"
#include "stl/float_syntax.h"
#include "support/utf8.h"
#include "stl/word_list.h"

namespace quarvex::stl {
namespace {

// A line copied across refills keeps its storage for the next one, up to this size.
constexpr std::size_t kKeptLineCapacity = 1 << 20;

ReadError utf8_error() { return invalid_data_error("stream did not contain valid UTF-8"); }

}  // namespace

ReadResult<AsciiFacetReader> AsciiFacetReader::create(StlSource& source, bool first_line_taken) {
  AsciiFacetReader reader{BufferedReader(source, kFacetReadBytes)};
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

void AsciiFacetReader::take_buffered(PodVector<char>& out) {
  out.append(reinterpret_cast<const char*>(reader_.data()), reader_.available());
  reader_.consume(reader_.available());
}

AsciiFacetReader::LineStatus AsciiFacetReader::next_line(std::string_view& line, ReadError& error) {
  if (long_line_.capacity() > kKeptLineCapacity) {
    PodVector<char>().swap(long_line_);
  } else {
    long_line_.clear();
  }
  bool copied = false;
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
  return LineStatus::kLine;
}

AsciiFacetReader::LineStatus AsciiFacetReader::next_word_line(ReadError& error) {
  for (;;) {
    const LineStatus s = next_line(line_, error);
    if (s != LineStatus::kLine) return s;
    read_line_words(line_.data(), line_.data() + line_.size(), grammar_.first_number(), words_);
    if (words_.count != 0) return LineStatus::kLine;
  }
}

ReadError AsciiFacetReader::end_of_file_error() const {
  const FacetLine& row = grammar_.expected();
  switch (row.kind) {
    case LineKind::kFacet:
      return unexpected_eof_error("EOF while expecting facet or endsolid.");
    case LineKind::kVertex:
      return unexpected_eof_error("EOF while expecting vertex");
    case LineKind::kKeywords:
      break;
  }
  return unexpected_eof_error("EOF while expecting " + word_list_text(std::span(row.keywords, row.keyword_count)));
}

ReadError AsciiFacetReader::wrong_words_error() const {
  const FacetLine& row = grammar_.expected();
  switch (row.kind) {
    case LineKind::kFacet:
      return invalid_data_error(line_words_message("invalid facet header: ", line_));
    case LineKind::kVertex:
      return invalid_data_error(line_words_message("vertex f32 f32 f32, got ", line_));
    case LineKind::kKeywords:
      break;
  }
  const std::string expected = word_list_text(std::span(row.keywords, row.keyword_count));
  return invalid_data_error(line_words_message("expected " + expected + ", got ", line_));
}

NextTriangle AsciiFacetReader::next_triangle(RawTriangle& out, ReadError& error) {
  for (;;) {
    switch (next_word_line(error)) {
      case LineStatus::kError:
        return NextTriangle::kError;
      case LineStatus::kEnd:
        error = end_of_file_error();
        return NextTriangle::kError;
      case LineStatus::kLine:
        break;
    }
    switch (grammar_.take(words_)) {
      case FacetGrammar::Step::kLine:
        continue;
      case FacetGrammar::Step::kTriangle:
        out = grammar_.triangle();
        return NextTriangle::kTriangle;
      case FacetGrammar::Step::kEndsolid:
        return NextTriangle::kEnd;
      case FacetGrammar::Step::kWrongWords:
        error = wrong_words_error();
        return NextTriangle::kError;
      case FacetGrammar::Step::kInvalidNumber:
        error = invalid_data_error("invalid float literal");
        return NextTriangle::kError;
      case FacetGrammar::Step::kNonFinite:
        error = invalid_data_error(non_finite_message(grammar_.non_finite()));
        return NextTriangle::kError;
    }
  }
}

}  // namespace quarvex::stl
