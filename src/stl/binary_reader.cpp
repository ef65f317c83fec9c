#include "stl/binary_reader.h"

#include <algorithm>

#include "stl/binary_record.h"

namespace quarvex::stl {
namespace {

constexpr std::size_t kRecordSize = kBinaryRecordSize;

void decode_record(const std::byte* p, RawTriangle& out) noexcept {
  out.normal = load_vec3(p + kBinaryNormalOffset);
  out.vertex[0] = load_vec3(p + binary_vertex_offset(0));
  out.vertex[1] = load_vec3(p + binary_vertex_offset(1));
  out.vertex[2] = load_vec3(p + binary_vertex_offset(2));
  // the attribute word at kBinaryAttributeOffset is ignored
}

}  // namespace

std::uint64_t binary_stl_size(const std::byte* count) noexcept {
  return kBinaryHeadSize + kRecordSize * std::uint64_t{load_le32(count)};
}

ReadResult<BinaryFacetReader> BinaryFacetReader::create(StlSource& source) {
  BufferedReader reader(source, kFacetReadBytes);
  std::byte head[kBinaryHeadSize];
  ReadError error;
  if (!reader.read_exact(head, kBinaryCountOffset, error)) return error;
  if (!reader.read_exact(head + kBinaryCountOffset, 4, error)) return error;
  return BinaryFacetReader(std::move(reader), load_le32(head + kBinaryCountOffset));
}

NextTriangle BinaryFacetReader::next_triangle(RawTriangle& out, ReadError& error) {
  if (index_ == count_) return NextTriangle::kEnd;
  ++index_;
  if (reader_.available() >= kRecordSize) {
    decode_record(reader_.data(), out);
    reader_.consume(kRecordSize);
    return NextTriangle::kTriangle;
  }
  std::byte record[kRecordSize];
  if (!reader_.read_exact(record, kRecordSize, error)) return NextTriangle::kError;
  decode_record(record, out);
  return NextTriangle::kTriangle;
}

int BinaryFacetReader::next_triangles(RawTriangle* out, int max, NextTriangle& last,
                                      ReadError& error) {
  int count = 0;
  while (count < max) {
    const std::uint64_t left = count_ - index_;
    const std::size_t whole = reader_.available() / kRecordSize;
    std::size_t run = std::min<std::uint64_t>({static_cast<std::uint64_t>(max - count), left, whole});
    if (run == 0) {
      // The buffer ends inside a record, or the records do: one at a time.
      last = next_triangle(out[count], error);
      if (last != NextTriangle::kTriangle) return count;
      ++count;
      continue;
    }
    const std::byte* p = reader_.data();
    for (std::size_t k = 0; k < run; ++k) decode_record(p + k * kRecordSize, out[count + k]);
    reader_.consume(run * kRecordSize);
    index_ += run;
    count += static_cast<int>(run);
  }
  last = NextTriangle::kTriangle;
  return count;
}

std::size_t BinaryFacetReader::next_records(std::byte* out, std::size_t max, NextTriangle& last,
                                            ReadError& error) {
  const std::size_t count = static_cast<std::size_t>(std::min<std::uint64_t>(max, count_ - index_));
  if (!reader_.read_exact(out, count * kRecordSize, error)) {
    last = NextTriangle::kError;
    return 0;
  }
  index_ += count;
  last = count < max ? NextTriangle::kEnd : NextTriangle::kTriangle;
  return count;
}

}  // namespace quarvex::stl
