// The same words in a facet's number places, through every way the ASCII reading can take a
// number: the facet spelled the usual way (taken whole), with one line spelled otherwise
// (taken line by line), every line spelled otherwise (the general word split), its last line
// a few bytes from the end of the text (read with end checks), and behind enough facets to
// pass the small-file size; each as a file, by the parallel reader cut anywhere, by the whole
// read, and through a pipe. The input's words (split at ASCII white space, reused in turn
// when fewer than twelve) fill the twelve places, rotated so that every word also stands in
// the last vertex line. Every spelling must give the same outcome as the usual one: the same
// triangle bits or the same message, non-finite words included.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.h"
#include "vertex_sums.h"
#include "ingest/read_mesh_file.h"
#include "stl/white_space.h"

namespace qs = quarvex::stl;
using quarvex::fuzz::check;
using quarvex::fuzz::Triangles;

namespace {

// A facet's seven lines: `indent` before each, `sep` between its words.
std::string facet(const std::vector<std::string>& w, std::string_view indent, std::string_view sep,
                  std::string_view outer_loop = "outer loop") {
  std::string s;
  auto line = [&](std::string_view head, std::size_t first) {
    s.append(indent).append(head);
    if (first != SIZE_MAX) {
      for (std::size_t k = first; k < first + 3; ++k) s.append(sep).append(w[k]);
    }
    s.push_back('\n');
  };
  line(sep == " " ? "facet normal" : std::string("facet").append(sep).append("normal"), 0);
  line(outer_loop, SIZE_MAX);
  for (std::size_t v = 0; v < 3; ++v) line("vertex", 3 + 3 * v);
  line("endloop", SIZE_MAX);
  line("endfacet", SIZE_MAX);
  return s;
}

// The reading of one file, checked against the parallel reader, the whole read and a pipe.
Triangles read_everywhere(const std::string& text, bool small_cuts = true) {
  static quarvex::fuzz::InputFile file;
  file.write(text, nullptr, 0);
  qs::StlSource source(file.open_fresh());
  const Triangles read = qs::read_triangles(source);
  quarvex::fuzz::check_ascii_outcome(read);
  quarvex::fuzz::check_parallel_agrees(file.path(), read, small_cuts);
  const qs::ReadResult<quarvex::ingest::SummedMesh> whole = quarvex::ingest::read_mesh_file(file.path());
  check(whole.ok() == read.ok(), "reading the file whole and in sequence disagree on success");
  if (!whole) check(whole.error().text == read.error().text, "reading the file whole gave another message");
  if (const std::optional<Triangles> piped = quarvex::fuzz::read_through_pipe(text)) {
    check(quarvex::fuzz::same_outcome(read, *piped), "a pipe and a file disagree");
  }
  return read;
}

// The outcome without its first `skip` triangles.
Triangles without_prefix(Triangles read, std::size_t skip) {
  if (read) read.value().erase(read.value().begin(), read.value().begin() + static_cast<std::ptrdiff_t>(skip));
  return read;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> words;
  for (const char* p = bytes.data(), *end = p + size; p != end;) {
    p = qs::skip_space(p, end);
    if (p != end && *p == '\n') ++p;
    const char* stop = p;
    while (stop != end && !qs::is_ascii_space(*stop)) ++stop;
    if (stop != p) words.emplace_back(p, stop);
    p = stop;
  }
  if (words.empty()) return 0;
  for (std::size_t k = words.size(); k < 12; ++k) words.push_back(words[k % words.size()]);
  words.resize(12);

  const std::string head = "solid fuzz\n";
  for (std::size_t rotation = 0; rotation < 12; rotation += 3) {
    std::vector<std::string> w(12);
    for (std::size_t k = 0; k < 12; ++k) w[k] = words[(k + rotation) % 12];
    const Triangles usual = read_everywhere(head + facet(w, "  ", " ") + "endsolid fuzz\n");
    // Right at the end of the text: the last vertex line's numbers are read with end checks.
    std::string at_end = head + facet(w, "", " ");
    at_end.resize(at_end.size() - 1);
    check(quarvex::fuzz::same_outcome(usual, read_everywhere(at_end + "\nendsolid")), "a facet at the end of the text reads otherwise");
    if (rotation != 0) continue;
    check(quarvex::fuzz::same_outcome(usual, read_everywhere(head + facet(w, " ", " ", "outer \tloop") + "endsolid\n")),
          "a facet taken line by line reads otherwise");
    check(quarvex::fuzz::same_outcome(usual, read_everywhere(head + facet(w, "\t", " \t") + "endsolid\n")),
          "a facet of irregular lines reads otherwise");
    // Past the small-file size, so that the parallel reader runs on the workers.
    std::string large = head;
    constexpr std::size_t kFiller = 1200;
    const std::string filler = facet(std::vector<std::string>(12, "1.5"), "  ", " ");
    for (std::size_t i = 0; i < kFiller; ++i) large += filler;
    const Triangles read = read_everywhere(large + facet(w, "  ", " ") + "endsolid\n", false);
    check(quarvex::fuzz::same_outcome(usual, without_prefix(read, kFiller)), "a facet behind many reads otherwise");
  }
  return 0;
}
