#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <map>
#include <random>
#include <tuple>
#include <vector>

#include "stl/indexed_mesh.h"
#include "stl/triangle_source.h"

namespace quarvex::stl {
namespace {

// Yields the given triangles, then the end or (if set) an error.
class ListSource final : public TriangleSource {
 public:
  explicit ListSource(std::vector<RawTriangle> triangles, bool fail_at_end = false)
      : triangles_(std::move(triangles)), fail_at_end_(fail_at_end) {}
  NextTriangle next_triangle(RawTriangle& out, ReadError& error) override {
    if (next_ < triangles_.size()) {
      out = triangles_[next_++];
      return NextTriangle::kTriangle;
    }
    if (!fail_at_end_) return NextTriangle::kEnd;
    error = unexpected_eof_error("failed to fill whole buffer");
    return NextTriangle::kError;
  }

 private:
  std::vector<RawTriangle> triangles_;
  std::size_t next_ = 0;
  bool fail_at_end_;
};

RawTriangle tri(Vec3f a, Vec3f b, Vec3f c, Vec3f n = {0, 0, 1}) { return RawTriangle{n, {a, b, c}}; }

std::uint32_t bits(float f) { return std::bit_cast<std::uint32_t>(f); }

std::vector<std::uint64_t> indices(const IndexedMesh& m) {
  std::vector<std::uint64_t> out;
  for (const MeshFace& f : m.faces) out.insert(out.end(), f.index, f.index + 3);
  return out;
}

TEST(IndexedMesh, CubeSharesItsCorners) {
  std::vector<RawTriangle> cube;
  auto corner = [](int i) {
    return Vec3f{static_cast<float>(i & 1), static_cast<float>((i >> 1) & 1), static_cast<float>((i >> 2) & 1)};
  };
  const int faces[12][3] = {{0, 1, 3}, {0, 3, 2}, {4, 6, 7}, {4, 7, 5}, {0, 4, 5}, {0, 5, 1},
                            {2, 3, 7}, {2, 7, 6}, {0, 2, 6}, {0, 6, 4}, {1, 5, 7}, {1, 7, 3}};
  for (int f = 0; f < 12; ++f) {
    cube.push_back(tri(corner(faces[f][0]), corner(faces[f][1]), corner(faces[f][2]),
                       Vec3f{static_cast<float>(f), -0.0f, 2.0f}));
  }
  ListSource source(cube);
  auto r = build_indexed_mesh(source);
  ASSERT_TRUE(r.ok());
  const IndexedMesh& m = r.value();
  ASSERT_EQ(m.vertices.size(), 8u);
  ASSERT_EQ(m.faces.size(), 12u);
  EXPECT_EQ(m.vertices.capacity(), 8u);
  EXPECT_EQ(m.faces.capacity(), 12u);
  // First appearance order: corners 0, 1, 3, 2, 4, 6, 7, 5.
  const std::vector<std::uint64_t> expected = {0, 1, 2, 0, 2, 3, 4, 5, 6, 4, 6, 7, 0, 4, 7, 0, 7, 1,
                                               3, 2, 6, 3, 6, 5, 0, 3, 5, 0, 5, 4, 1, 7, 6, 1, 6, 2};
  EXPECT_EQ(indices(m), expected);
  for (int f = 0; f < 12; ++f) {
    EXPECT_EQ(m.faces[f].normal.x, static_cast<float>(f));  // normals as given, in file order
    EXPECT_EQ(bits(m.faces[f].normal.y), 0x80000000u);
    for (int k = 0; k < 3; ++k) {
      const Vec3f v = m.vertices[m.faces[f].index[k]];
      const Vec3f c = corner(faces[f][k]);
      EXPECT_TRUE(v.x == c.x && v.y == c.y && v.z == c.z);
    }
  }
}

TEST(IndexedMesh, IdentityIsAllNinetySixBits) {
  const float nan_a = std::bit_cast<float>(0x7FC00001u);
  const float nan_b = std::bit_cast<float>(0x7FC00002u);
  ListSource source({
      tri({0, 0, 0}, {-0.0f, 0, 0}, {0, -0.0f, 0}),
      tri({0, 0, -0.0f}, {0, 0, 0}, {nan_a, 1, 1}),
      tri({nan_a, 1, 1}, {nan_b, 1, 1}, {std::bit_cast<float>(0xFFC00001u), 1, 1}),
      tri({5, 5, 5}, {5, 5, 5}, {5, 5, 5}),  // degenerate: one vertex, three equal indices
      tri({1, 2, 3}, {4, 5, 6}, {7, 8, 9}),
  });
  auto r = build_indexed_mesh(source);
  ASSERT_TRUE(r.ok());
  const IndexedMesh& m = r.value();
  EXPECT_EQ(indices(m), (std::vector<std::uint64_t>{0, 1, 2, 3, 0, 4, 4, 5, 6, 7, 7, 7, 8, 9, 10}));
  ASSERT_EQ(m.vertices.size(), 11u);
  EXPECT_EQ(bits(m.vertices[5].x), 0x7FC00002u);
  EXPECT_EQ(bits(m.vertices[6].x), 0xFFC00001u);
  EXPECT_EQ(m.vertices[10].z, 9.0f);
}

TEST(IndexedMesh, ManyVerticesKeepFirstAppearanceOrder) {
  // Enough distinct vertices to make the map grow many times; each appears twice.
  std::vector<RawTriangle> list;
  for (int i = 0; i < 30000; ++i) {
    const float f = static_cast<float>(i);
    list.push_back(tri({f, 0, 0}, {f, 1, 0}, {f, 0, 1}));
  }
  for (int i = 0; i < 30000; ++i) {
    const float f = static_cast<float>(i);
    list.push_back(tri({f, 0, 1}, {f, 1, 0}, {f, 0, 0}));
  }
  ListSource source(list);
  auto r = build_indexed_mesh(source);
  ASSERT_TRUE(r.ok());
  const IndexedMesh& m = r.value();
  ASSERT_EQ(m.vertices.size(), 90000u);
  for (std::uint64_t i = 0; i < 30000; ++i) {
    ASSERT_EQ(m.faces[i].index[1], 3 * i + 1);
    ASSERT_EQ(m.faces[30000 + i].index[0], 3 * i + 2);
    ASSERT_EQ(m.faces[30000 + i].index[2], 3 * i);
    ASSERT_EQ(m.vertices[3 * i].x, static_cast<float>(i));
  }
}

// The merge as written down, one std::map lookup per vertex, to compare the real one with.
IndexedMesh reference_merge(const std::vector<RawTriangle>& list) {
  IndexedMesh m;
  std::map<std::tuple<std::uint32_t, std::uint32_t, std::uint32_t>, std::uint64_t> seen;
  for (const RawTriangle& t : list) {
    MeshFace face{t.normal, {}};
    for (int v = 0; v < 3; ++v) {
      const Vec3f& p = t.vertex[v];
      auto [it, fresh] = seen.try_emplace({bits(p.x), bits(p.y), bits(p.z)}, m.vertices.size());
      if (fresh) m.vertices.push_back(p);
      face.index[v] = it->second;
    }
    m.faces.push_back(face);
  }
  return m;
}

void expect_same_mesh(const IndexedMesh& got, const IndexedMesh& want) {
  ASSERT_EQ(got.vertices.size(), want.vertices.size());
  ASSERT_EQ(got.faces.size(), want.faces.size());
  for (std::size_t i = 0; i < want.vertices.size(); ++i) {
    ASSERT_EQ(bits(got.vertices[i].x), bits(want.vertices[i].x)) << i;
    ASSERT_EQ(bits(got.vertices[i].y), bits(want.vertices[i].y)) << i;
    ASSERT_EQ(bits(got.vertices[i].z), bits(want.vertices[i].z)) << i;
  }
  for (std::size_t f = 0; f < want.faces.size(); ++f) {
    for (int v = 0; v < 3; ++v) ASSERT_EQ(got.faces[f].index[v], want.faces[f].index[v]) << f;
    ASSERT_EQ(bits(got.faces[f].normal.x), bits(want.faces[f].normal.x)) << f;
  }
}

TEST(IndexedMesh, MatchesAPlainMergeAcrossBatchesAndIndexWidths) {
  // Vertices drawn from a small pool (so repeats are near and far), for mesh sizes around
  // the reader's batch boundaries and well past the 254 vertices an 8-bit map can number,
  // where the merge has to move to 64-bit indices in the middle of the mesh.
  std::mt19937 rng(7);
  for (int triangles : {1, 31, 32, 33, 64, 65, 85, 86, 87, 300, 5000}) {
    std::uniform_int_distribution<int> pick(0, triangles);
    std::vector<RawTriangle> list;
    for (int t = 0; t < triangles; ++t) {
      auto vertex = [&] {
        const int i = pick(rng);
        return Vec3f{static_cast<float>(i), i % 3 == 0 ? -0.0f : 0.0f, 1.0f};
      };
      list.push_back(tri(vertex(), vertex(), vertex(), {static_cast<float>(t), 0, 0}));
    }
    const IndexedMesh want = reference_merge(list);
    ListSource wide_source(list), narrow_source(list);
    auto wide = build_indexed_mesh(wide_source);
    auto narrow = detail::build_indexed_mesh_with<std::uint8_t>(narrow_source);
    ASSERT_TRUE(wide.ok() && narrow.ok());
    SCOPED_TRACE(triangles);
    expect_same_mesh(wide.value(), want);
    expect_same_mesh(narrow.value(), want);
    EXPECT_EQ(narrow.value().vertices.capacity(), want.vertices.size());
  }
  // An error after the move to wide indices still returns only the error.
  std::vector<RawTriangle> many;
  for (int i = 0; i < 400; ++i) {
    const float f = static_cast<float>(i);
    many.push_back(tri({f, 0, 0}, {f, 1, 0}, {f, 2, 0}));
  }
  ListSource failing(many, true);
  auto failed = detail::build_indexed_mesh_with<std::uint8_t>(failing);
  ASSERT_FALSE(failed.ok());
  EXPECT_EQ(failed.error().text, "failed to fill whole buffer");
}

TEST(IndexedMesh, EmptyAndFailingSources) {
  ListSource empty({});
  auto none = build_indexed_mesh(empty);
  ASSERT_TRUE(none.ok());
  EXPECT_TRUE(none.value().vertices.empty());
  EXPECT_TRUE(none.value().faces.empty());
  ListSource failing({tri({0, 0, 0}, {1, 0, 0}, {0, 1, 0}), tri({2, 0, 0}, {3, 0, 0}, {0, 4, 0})}, true);
  auto failed = build_indexed_mesh(failing);
  ASSERT_FALSE(failed.ok());
  EXPECT_EQ(failed.error().text, "failed to fill whole buffer");
}

}  // namespace
}  // namespace quarvex::stl
