// The result of a successful call as interpreter objects; see result_lists.h.
#include "boundary/result_lists.h"

#include "boundary/capi.h"
#include "boundary/panic_exception.h"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace quarvex::boundary {
namespace {

// Hands out float objects so that equal components share one. Meshes repeat coordinates
// (axis-aligned parts, the rings of a revolved shape) and files with zero stored normals
// give zero normals throughout; each object shared is an allocation now and a free when the
// caller drops the result. Floats are immutable, so sharing changes no value. Keyed by the
// f32's bits: 0.0 and -0.0 stay apart. Direct-mapped, about one slot per component (256 to
// 8192, at most 128 KiB: within L2); a miss replaces the slot. An array whose first few
// thousand components mostly miss (a scan, a soup) stops looking, so that it pays no more
// than plain creation (each array gets its own trial). Lives for one result, both of its
// arrays, on the calling thread; each slot owns its reference.
class FloatCache {
 public:
  explicit FloatCache(std::size_t components)
      : slots_(std::bit_ceil(std::clamp<std::size_t>(components, 256, 8192))),
        shift_(32 - std::countr_zero(slots_.size())) {}

  // The next components are another array's: it gets a trial of its own.
  void start_array() noexcept {
    sharing_ = true;
    looked_up_ = hits_ = 0;
  }

  // A new reference to a float equal to `value`, or nullptr with the exception set.
  PyObject* get(float value) {
    if (!sharing_) return PyFloat_FromDouble(static_cast<double>(value));
    if (++looked_up_ == kTrial && hits_ < kTrial / 8) sharing_ = false;
    const std::uint32_t bits = std::bit_cast<std::uint32_t>(value);
    Slot& slot = slots_[(bits * 0x9E3779B1u) >> shift_];
    if (!slot.object || slot.bits != bits) {
      PyRef made = PyRef::steal(PyFloat_FromDouble(static_cast<double>(value)));
      if (!made) return nullptr;
      slot.object = std::move(made);
      slot.bits = bits;
    } else {
      ++hits_;
    }
    Py_INCREF(slot.object.get());
    return slot.object.get();
  }

 private:
  struct Slot {
    PyRef object;
    std::uint32_t bits = 0;
  };
  static constexpr std::size_t kTrial = 4096;

  std::vector<Slot> slots_;
  int shift_;
  bool sharing_ = true;
  std::size_t looked_up_ = 0;
  std::size_t hits_ = 0;
};

// Consumes the array; a list of lists of three floats, each widened exactly from f32.
PyRef vec3_array_to_list(quarvex::PodVector<quarvex::Vec3f>&& array, FloatCache& floats) {
  // Owning the storage here frees it when the conversion ends, on success or fault.
  const quarvex::PodVector<quarvex::Vec3f> owned(std::move(array));
  const auto count = static_cast<Py_ssize_t>(owned.size());
  floats.start_array();
  PyRef outer = PyRef::steal(PyList_New(count));
  if (!outer) api_call_failed();
  for (Py_ssize_t i = 0; i < count; ++i) {
    const quarvex::Vec3f& v = owned[static_cast<std::size_t>(i)];
    const float components[3] = {v.x, v.y, v.z};
    PyRef inner = PyRef::steal(PyList_New(3));
    if (!inner) api_call_failed();
    for (Py_ssize_t k = 0; k < 3; ++k) {
      PyObject* number = floats.get(components[k]);
      if (number == nullptr) api_call_failed();
      capi::list_init_item(inner.get(), k, number);
    }
    capi::list_init_item(outer.get(), i, inner.release());
  }
  return outer;
}

}  // namespace

PyRef result_lists(quarvex::PodVector<quarvex::Vec3f>&& positions, quarvex::PodVector<quarvex::Vec3f>&& normals) {
  FloatCache floats(3 * std::max(positions.size(), normals.size()));
  PyRef position_list = vec3_array_to_list(std::move(positions), floats);
  PyRef normal_list = vec3_array_to_list(std::move(normals), floats);
  PyRef tuple = PyRef::steal(PyTuple_New(2));
  if (!tuple) api_call_failed();
  capi::tuple_init_item(tuple.get(), 0, position_list.release());
  capi::tuple_init_item(tuple.get(), 1, normal_list.release());
  return tuple;
}

}  // namespace quarvex::boundary
