#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "stl/ascii_reader.h"
#include "stl/binary_reader.h"
#include "stl/detect_format.h"
#include "ingest/read_mesh_file.h"
#include "stl_files.h"

namespace quarvex::stl {
namespace {

std::vector<float> record(float base) {
  std::vector<float> r;
  for (int i = 0; i < 12; ++i) r.push_back(base + static_cast<float>(i));
  return r;
}

const char kFacet[] =
    "facet normal 0 0 1\n outer loop\n  vertex 0 0 0\n  vertex 1 0 0\n  vertex 1 1 0\n endloop\nendfacet\n";

StlFormat format_of(const TempDir& dir, const std::string& bytes) {
  StlSource source(::open(dir.write("detect.stl", bytes).c_str(), O_RDONLY | O_CLOEXEC));
  const StlFormat f = detect_format(source).format;
  // Detection leaves the file at its start.
  char first = 0;
  const bool read_one = ::read(source.fd(), &first, 1) == 1;
  EXPECT_EQ(read_one, !bytes.empty());
  if (read_one) {
    EXPECT_EQ(first, bytes[0]);
  }
  return f;
}

// The message of a failing file; the parallel readers must decline it.
std::string read_error_text(const std::string& path) {
  expect_parallel_agrees(path);
  auto r = read_mesh_file(path);
  EXPECT_FALSE(r.ok()) << path;
  return r.ok() ? "" : r.error().text;
}

// The triangles as the sequential reader gives them; every reading into the merge must agree
// with them.
std::vector<RawTriangle> read_ok(const std::string& path) {
  StlSource source(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  auto r = read_triangles(source);
  EXPECT_TRUE(r.ok()) << (r.ok() ? "" : r.error().text);
  expect_parallel_agrees(path);
  return r.ok() ? std::move(r).value() : std::vector<RawTriangle>{};
}

TEST(DetectFormat, FirstLineDecides) {
  TempDir dir;
  EXPECT_EQ(format_of(dir, "solid cube\nfacet\n"), StlFormat::kAscii);
  EXPECT_EQ(format_of(dir, "solid "), StlFormat::kAscii);
  EXPECT_EQ(format_of(dir, "solid x\n\xFF\xFE binary after the first line"), StlFormat::kAscii);
  EXPECT_EQ(format_of(dir, "solid \xC3\xA9t\xC3\xA9\r\n"), StlFormat::kAscii);
  EXPECT_EQ(format_of(dir, ""), StlFormat::kBinary);
  EXPECT_EQ(format_of(dir, "solid\nfacet\n"), StlFormat::kBinary);
  EXPECT_EQ(format_of(dir, "solid\r\n"), StlFormat::kBinary);
  EXPECT_EQ(format_of(dir, "soli"), StlFormat::kBinary);
  EXPECT_EQ(format_of(dir, "SOLID x\n"), StlFormat::kBinary);
  EXPECT_EQ(format_of(dir, " solid x\n"), StlFormat::kBinary);
  EXPECT_EQ(format_of(dir, "\tsolid x\n"), StlFormat::kBinary);
  EXPECT_EQ(format_of(dir, "\xEF\xBB\xBFsolid x\n"), StlFormat::kBinary);
  EXPECT_EQ(format_of(dir, "solid caf\xE9\n"), StlFormat::kBinary);       // Latin-1
  EXPECT_EQ(format_of(dir, "solid \xC3\n\xA9"), StlFormat::kBinary);      // cut by the line end
  EXPECT_EQ(format_of(dir, "solid \xED\xA0\x80\n"), StlFormat::kBinary);  // surrogate
}

TEST(DetectFormat, LongFirstLinesAcrossBuffers) {
  TempDir dir;
  std::string line = "solid " + std::string(20000, 'n');
  EXPECT_EQ(format_of(dir, line), StlFormat::kAscii);
  EXPECT_EQ(format_of(dir, line + "\nrest"), StlFormat::kAscii);
  // A multi-byte character straddling the 8192-byte read boundary is still valid.
  std::string straddle = "solid " + std::string(8192 - 6 - 1, 'a') + "\xE2\x82\xAC\n";
  EXPECT_EQ(format_of(dir, straddle), StlFormat::kAscii);
  std::string bad_late = line;
  bad_late[15000] = '\xFF';
  EXPECT_EQ(format_of(dir, bad_late + "\n"), StlFormat::kBinary);
  // A bad byte after the first line end does not count.
  EXPECT_EQ(format_of(dir, line + "\n" + std::string(9000, '\xFF')), StlFormat::kAscii);
}

TEST(ReadMeshFile, OpeningFailures) {
  TempDir dir;
  EXPECT_EQ(read_error_text(std::string("a\0b", 3)), "file name contained an unexpected NUL byte");
  auto missing = read_mesh_file(dir.path() + "/missing.stl");
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().kind, ReadErrorKind::kOs);
  EXPECT_EQ(missing.error().os_errno, 2);
  EXPECT_EQ(missing.error().text, "No such file or directory (os error 2)");
  EXPECT_EQ(read_error_text(dir.path()), "Is a directory (os error 21)");
  EXPECT_EQ(read_error_text(dir.write("f", "x") + "/inside"), "Not a directory (os error 20)");
}

TEST(BinaryReader, CountsAndShortFiles) {
  TempDir dir;
  const std::string eof = "failed to fill whole buffer";
  EXPECT_EQ(read_error_text(dir.write("empty.stl", "")), eof);
  EXPECT_EQ(read_error_text(dir.write("header.stl", std::string(83, '\0'))), eof);
  EXPECT_TRUE(read_ok(dir.write("zero.stl", binary_stl(0, {}))).empty());
  EXPECT_EQ(read_error_text(dir.write("more.stl", binary_stl(2, {record(0)}))), eof);
  std::string cut = binary_stl(2, {record(0), record(100)});
  cut.pop_back();
  auto short_by_one = read_mesh_file(dir.write("cut.stl", cut));
  ASSERT_FALSE(short_by_one.ok());
  EXPECT_EQ(short_by_one.error().kind, ReadErrorKind::kUnexpectedEof);
  // A huge declared count in a short file fails at once, reserving nothing.
  EXPECT_EQ(read_error_text(dir.write("huge.stl", binary_stl(0xFFFFFFFFu, {record(0)}))), eof);
  // Records beyond the declared count are ignored, also when they are garbage.
  const auto one = read_ok(dir.write("extra.stl", binary_stl(1, {record(0), record(50)}) + "junk"));
  ASSERT_EQ(one.size(), 1u);
  EXPECT_EQ(one[0].normal.y, 1.0f);
  EXPECT_EQ(one[0].vertex[2].z, 11.0f);
}

TEST(BinaryReader, ValuesBitForBitAcrossBufferBoundaries) {
  TempDir dir;
  std::vector<std::vector<float>> records;
  for (int i = 0; i < 1000; ++i) records.push_back(record(static_cast<float>(i) * 12.0f));
  records[7][3] = std::bit_cast<float>(0x7FC12345u);   // NaN with payload
  records[7][4] = -std::numeric_limits<float>::infinity();
  records[7][5] = std::bit_cast<float>(0x80000001u);   // negative subnormal
  // A "solid " header is still binary when its first line is not UTF-8.
  const auto mesh = read_ok(dir.write("many.stl", binary_stl(1000, records, "solid \xFF\n")));
  ASSERT_EQ(mesh.size(), 1000u);
  EXPECT_EQ(std::bit_cast<std::uint32_t>(mesh[7].vertex[0].x), 0x7FC12345u);
  EXPECT_EQ(mesh[7].vertex[0].y, -std::numeric_limits<float>::infinity());
  EXPECT_EQ(std::bit_cast<std::uint32_t>(mesh[7].vertex[0].z), 0x80000001u);
  for (std::size_t i = 0; i < 1000; ++i) {
    if (i == 7) continue;
    ASSERT_EQ(mesh[i].normal.x, static_cast<float>(i) * 12.0f);
    ASSERT_EQ(mesh[i].vertex[2].z, static_cast<float>(i) * 12.0f + 11.0f);
  }
}

// Records are decoded in runs straight from the buffer: a declared count that ends a run
// in the middle of a buffer, and a last record cut short far into a big file, behave as
// they do record by record.
TEST(BinaryReader, CountsEndingInsideBuffersOfABigFile) {
  TempDir dir;
  std::vector<std::vector<float>> records;
  for (int i = 0; i < 1000; ++i) records.push_back(record(static_cast<float>(i) * 12.0f));
  for (std::uint32_t declared : {1u, 163u, 164u, 165u, 700u, 999u}) {
    const auto mesh = read_ok(dir.write("part.stl", binary_stl(declared, records)));
    ASSERT_EQ(mesh.size(), declared);
    EXPECT_EQ(mesh.back().normal.x, static_cast<float>(declared - 1) * 12.0f);
    EXPECT_EQ(mesh.back().vertex[2].z, static_cast<float>(declared - 1) * 12.0f + 11.0f);
  }
  std::string cut = binary_stl(1000, records);
  cut.pop_back();
  EXPECT_EQ(read_error_text(dir.write("cut.stl", cut)), "failed to fill whole buffer");
  EXPECT_EQ(read_error_text(dir.write("cut2.stl", cut.substr(0, 84 + 50 * 500 + 17))),
            "failed to fill whole buffer");
}

// A "solid " header whose first line is valid UTF-8 goes to the text reader; when that
// fails, a regular file of exactly the binary size for its count is read as binary.
TEST(BinaryReader, SolidHeaderFallsBackToBinaryAtTheBinarySize) {
  TempDir dir;
  const std::string header = "solid made by a binary exporter";  // no 0x0A: one long line
  EXPECT_TRUE(read_ok(dir.write("empty.stl", binary_stl(0, {}, header))).empty());
  EXPECT_EQ(read_error_text(dir.write("longer.stl", binary_stl(0, {}, header) + "x")),
            "EOF while expecting facet or endsolid.");
  // The count's low byte 0x0A ends the first line inside the count.
  std::vector<std::vector<float>> records(10, record(1));
  EXPECT_EQ(read_ok(dir.write("ten.stl", binary_stl(10, records, header))).size(), 10u);
  // One record short of that size: the text reader's own failure stands.
  EXPECT_EQ(read_error_text(dir.write("cut.stl", binary_stl(10, records, header).substr(0, 84 + 50 * 9))),
            "stream did not contain valid UTF-8");
}

// Through a pipe, which cannot rewind, detection hands the chosen reader what it took:
// every input gives the mesh or the message that the same bytes give from a file.
TEST(ReadMesh, PipeGivesWhatAFileGives) {
  TempDir dir;
  auto through_pipe = [](const std::string& bytes) {
    int fds[2];
    EXPECT_EQ(::pipe(fds), 0);
    EXPECT_EQ(::fcntl(fds[1], F_SETPIPE_SZ, 1 << 20) >= static_cast<int>(bytes.size()), true);
    EXPECT_EQ(::write(fds[1], bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    ::close(fds[1]);
    StlSource source(fds[0]);
    return read_mesh(source);
  };
  std::vector<std::vector<float>> records;
  for (int i = 0; i < 400; ++i) records.push_back(record(static_cast<float>(i) * 12.0f));
  const std::string text = std::string("solid ") + std::string(20000, 'n') + "\n" + kFacet + "endsolid\n";
  const std::string inputs[] = {
      "",
      binary_stl(400, records),
      binary_stl(3, records) + std::string(30000, 'j'),  // far more than the count uses
      binary_stl(401, records),
      binary_stl(400, records, "solid \xFF but not text"),
      binary_stl(400, records, "solid " + std::string(74, 'h')),  // the line breaks late
      text,
      text.substr(0, text.size() - 12),
      "solid x\n" + std::string(kFacet).substr(0, 40),
  };
  for (const std::string& bytes : inputs) {
    // The sequential reader of a regular file (the parallel one is checked against it).
    StlSource file_source(::open(dir.write("same.stl", bytes).c_str(), O_RDONLY | O_CLOEXEC));
    auto from_file = read_mesh(file_source);
    auto from_pipe = through_pipe(bytes);
    ASSERT_EQ(from_file.ok(), from_pipe.ok()) << bytes.size();
    if (!from_file.ok()) {
      EXPECT_EQ(from_file.error().text, from_pipe.error().text);
      continue;
    }
    SumsByVertex a, b;
    EXPECT_TRUE(sums_of(from_file.value(), a));
    EXPECT_TRUE(sums_of(from_pipe.value(), b));
    EXPECT_EQ(a, b) << bytes.size();
  }
}


TEST(AsciiReader, LenientSpacingAndLineEnds) {
  TempDir dir;
  ASSERT_EQ(read_ok(dir.write("plain.stl", std::string("solid a\n") + kFacet + "endsolid a\n")).size(), 1u);
  const std::string messy =
      "solid messy name\r\n\r\n  \t\n\tfacet   normal\t0  0\t\t1 \r\n\n outer \t loop\r\n"
      "\xE3\x80\x80vertex 0 0 0\r\n vertex 1.0\xC2\xA0" "0 0e0\xE3\x80\x80\n\n vertex +1 1.\v0\r\n endloop\r\n   endfacet   \r\n"
      "\n\n endsolid";  // last line without a line end
  const auto mesh = read_ok(dir.write("messy.stl", messy));
  ASSERT_EQ(mesh.size(), 1u);
  EXPECT_EQ(mesh[0].vertex[1].x, 1.0f);
  EXPECT_EQ(mesh[0].vertex[2].x, 1.0f);
  EXPECT_EQ(mesh[0].vertex[2].y, 1.0f);
  EXPECT_EQ(mesh[0].normal.z, 1.0f);
  // Only "solid " and "endsolid" matter around the facets; what follows is never read.
  EXPECT_TRUE(read_ok(dir.write("empty.stl", "solid \nendsolid other name\nsolid again\n\xFF\xFE")).empty());
}

TEST(AsciiReader, LinesOfSeveralMegabytes) {
  TempDir dir;
  const std::string pad(3 << 20, ' ');
  const std::string file = "solid " + std::string(3 << 20, 'n') + "\nfacet normal 0 0 1\nouter loop\nvertex" +
                           pad + "0.5 0 0\nvertex 0." + std::string(3 << 20, '0') + "1e" + std::to_string((3 << 20) - 2) + " 2 3\n" +
                           "vertex 7 8 9\nendloop\nendfacet\nendsolid" + pad;
  const auto mesh = read_ok(dir.write("long.stl", file));
  ASSERT_EQ(mesh.size(), 1u);
  EXPECT_EQ(mesh[0].vertex[0].x, 0.5f);
  EXPECT_EQ(mesh[0].vertex[1].x, 1e-3f);  // 0.(3 Mi zeros)1 e(3 Mi - 2)
}

// The caller's view of every message is the Python suite's (test_ascii_grammar.py). Here: a
// failure at each line of a facet, which the parallel reader declines, with its kind.
TEST(AsciiReader, FailuresAtEachLineOfAFacet) {
  TempDir dir;
  const std::string head = "solid s\n";
  const std::string facet_head = head + "facet normal 0 0 1\n";
  const std::string loop = facet_head + "outer loop\n";
  const std::string v3 = loop + "vertex 0 0 0\nvertex 1 0 0\nvertex 1 1 0\n";
  const std::string eof = "EOF while expecting ";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {head + kFacet, eof + "facet or endsolid."},
      {facet_head, eof + "[\"outer\", \"loop\"]"},
      {loop + "vertex 0 0 0\n", eof + "vertex"},
      {v3, eof + "[\"endloop\"]"},
      {v3 + "endloop\n", eof + "[\"endfacet\"]"},
      {head + "facet normal 0 0 1 outer loop\n",
       "invalid facet header: [\"facet\", \"normal\", \"0\", \"0\", \"1\", \"outer\", \"loop\"]"},
      {facet_head + "outer\nloop\n", "expected [\"outer\", \"loop\"], got [\"outer\"]"},
      {loop + "vertex 1 2\n", "vertex f32 f32 f32, got [\"vertex\", \"1\", \"2\"]"},
      {v3 + "endlop\n", "expected [\"endloop\"], got [\"endlop\"]"},
      {v3 + "endloop\nendfacet x\n", "expected [\"endfacet\"], got [\"endfacet\", \"x\"]"},
      {head + "facet normal 0 1,5 0\n", "invalid float literal"},
      // A number's digits stop at a character that does not end the word.
      {loop + "vertex 1 2\xC3\xA9 3\n", "invalid float literal"},
      {loop + "vertex 0 0 1e39\n", "expected finite f32, got inf which is Infinite"},
      {head + kFacet + "endsolid\xC3", "stream did not contain valid UTF-8"},
  };
  int i = 0;
  for (const auto& [text, message] : cases) {
    const std::string path = dir.write("case" + std::to_string(i++) + ".stl", text);
    EXPECT_EQ(read_error_text(path), message) << text;
    const auto read = read_mesh_file(path);
    ASSERT_FALSE(read.ok());
    EXPECT_EQ(read.error().kind, message.starts_with(eof) ? ReadErrorKind::kUnexpectedEof : ReadErrorKind::kInvalidData) << text;
  }
}

TEST(AsciiReader, FirstLineCheckedAgainAtCreation) {
  TempDir dir;
  auto create_on = [&](const std::string& bytes) {
    StlSource source(::open(dir.write("first.stl", bytes).c_str(), O_RDONLY | O_CLOEXEC));
    auto r = AsciiFacetReader::create(source);
    return r.ok() ? std::string("ok") : r.error().text;
  };
  EXPECT_EQ(create_on(""), "empty file?");
  EXPECT_EQ(create_on("solid\n"), "ascii STL does not start with \"solid \"");
  EXPECT_EQ(create_on("\n"), "ascii STL does not start with \"solid \"");
  EXPECT_EQ(create_on("sol\xFF\n"), "stream did not contain valid UTF-8");
  EXPECT_EQ(create_on("solid " + std::string(20000, 'x')), "ok");
}

}  // namespace
}  // namespace quarvex::stl
