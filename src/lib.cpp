// The module's root: its one exported symbol and the body of reduce_stl_points.
#include "boundary/call_entry.h"
#include "boundary/module.h"

PyMODINIT_FUNC PyInit_quarvex(void) { return quarvex::boundary::init_module(); }

namespace quarvex::boundary {

// Reading and reduction are wired in here; until then the call says so instead of
// returning anything made up.
Outcome reduce_stl_points_body(std::string /*path*/, std::uint64_t /*clusters*/) {
  return Error::deferred(PyExc_NotImplementedError,
                         "reduce_stl_points: reading and reduction are not built yet");
}

}  // namespace quarvex::boundary
