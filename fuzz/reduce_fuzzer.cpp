// The whole reduction, without the interpreter, on whatever mesh the bytes give. The first
// three bytes choose `clusters`: with the top bit clear 0 to 1023 (most inputs, since large
// counts make every run slow), with it set 0 to 100000. The rest is the file. Each stage is checked
// against the one before it: one record per vertex, one representative per occupied cell,
// exactly `clusters` results, and every returned position/normal pair is one of the records.
#include <bit>
#include <cstdint>
#include <unordered_map>
#include <unordered_set>

#include "fuzz_support.h"
#include "vertex_sums.h"
#include "reduce/cells.h"
#include "reduce/count_adjustment.h"
#include "reduce/grid.h"
#include "reduce/memory_budget.h"
#include "reduce/output_split.h"
#include "reduce/point_records.h"
#include "ingest/read_mesh_file.h"

namespace qr = quarvex::reduce;
namespace qs = quarvex::stl;
using quarvex::fuzz::Bits3;
using quarvex::fuzz::Bits3Hash;
using quarvex::fuzz::bits;
using quarvex::fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 3) return 0;
  const std::uint32_t raw = std::uint32_t{data[0]} | std::uint32_t{data[1]} << 8 |
                           std::uint32_t{data[2]} << 16;
  const std::uint64_t clusters = (raw & 0x800000) ? (raw & 0x7FFFFF) % 100001 : raw & 0x3FF;
  static quarvex::fuzz::InputFile file;
  file.write(data + 3, size - 3);

  quarvex::PodVector<qr::PointRecord> points;
  qr::BoundingBox box{};
  std::unordered_set<Bits3, Bits3Hash> vertices;
  {
    qs::StlSource source(file.open_fresh());
    const qs::ReadResult<std::vector<qs::RawTriangle>> sequential = qs::read_triangles(source);
    qs::ReadResult<quarvex::ingest::SummedMesh> read = quarvex::ingest::read_mesh_file(file.path());
    check(read.ok() == sequential.ok(), "reading the file whole and in sequence disagree");
    if (!read) return 0;
    for (const qs::RawTriangle& t : sequential.value())
      for (const quarvex::Vec3f& v : t.vertex) vertices.insert(bits(v.x, v.y, v.z));
    qr::PointList made = qr::build_point_records(std::move(read).value());
    points = std::move(made.records);
    box = made.box;
  }
  check(points.size() == vertices.size(), "not one record per vertex");
  std::unordered_map<Bits3, Bits3, Bits3Hash> normal_of;
  for (const qr::PointRecord& r : points) {
    check(vertices.count(bits(r.x, r.y, r.z)) == 1, "a record that is not a vertex");
    check(normal_of.emplace(bits(r.x, r.y, r.z), bits(r.nx, r.ny, r.nz)).second,
          "two records for one vertex");
  }

  const qr::BoundingBox whole = qr::compute_bounds(points);  // equal, up to the sign of a zero
  check(box.min_x == whole.min_x && box.max_x == whole.max_x && box.min_y == whole.min_y &&
            box.max_y == whole.max_y && box.min_z == whole.min_z && box.max_z == whole.max_z,
        "the records' bounds are not their bounds");
  const std::uint64_t n = qr::cells_per_axis(clusters);
  std::unordered_set<std::uint64_t> occupied;
  for (const qr::PointRecord& r : points) occupied.insert(qr::cell_key(r, box, n));

  std::vector<qr::PointRecord> adjusted;
  {
    qr::CellMap cells;
    qr::accumulate_cells(points, box, n, cells);
    adjusted = qr::pick_representatives(cells, points);
    check(adjusted.size() == occupied.size(), "not one representative per occupied cell");
    std::unordered_set<std::uint64_t> cells_seen;
    for (const qr::PointRecord& r : adjusted) {
      check(normal_of.count(bits(r.x, r.y, r.z)) == 1, "a representative that is not a record");
      check(cells_seen.insert(qr::cell_key(r, box, n)).second, "two representatives of one cell");
    }
    if (clusters > adjusted.size() && !points.empty() && qr::result_too_large(clusters)) return 0;
    qr::adjust_count(adjusted, points, clusters);
  }
  check(adjusted.size() == (points.empty() ? 0 : clusters), "count not adjusted to clusters");

  qr::SplitOutput out = qr::split_output(std::move(adjusted));
  check(out.positions.size() == out.normals.size(), "positions and normals differ in length");
  check(out.positions.size() == (points.empty() ? 0 : clusters), "output length");
  for (std::size_t i = 0; i < out.positions.size(); ++i) {
    const quarvex::Vec3f& p = out.positions[i];
    const quarvex::Vec3f& q = out.normals[i];
    const auto it = normal_of.find(bits(p.x, p.y, p.z));
    check(it != normal_of.end(), "an output position that is not a record");
    check(it->second == bits(q.x, q.y, q.z), "an output normal that is not its record's");
  }
  return 0;
}
