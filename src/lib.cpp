// The module's root: its one exported symbol and the body of reduce_stl_points.
//
// The body reads like the call itself, one stage per line. Every stage owns what it makes
// and hands it on by move; each large intermediate is released as soon as the next stage
// no longer needs it (the mesh and the file right after the records exist, the cell map
// and the record list before the output is built). Pending signal handlers run while the
// file is read and between the stages; one that raises ends the call with its exception.
// A small input runs its loops on the calling thread (parallel/inline_scope.h): the body
// opens the scope and engages it when few points were read.
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "boundary/gc_pause.h"
#include "boundary/module.h"
#include "boundary/outcome.h"
#include "boundary/result_lists.h"
#include "boundary/signal_check.h"
#include "reduce/cells.h"
#include "reduce/count_adjustment.h"
#include "reduce/grid.h"
#include "reduce/memory_budget.h"
#include "reduce/output_split.h"
#include "reduce/point_records.h"
#include "ingest/read_mesh_file.h"
#include "parallel/inline_scope.h"
#include "support/memory_reserve.h"

namespace quarvex {
namespace {

using boundary::GcPause;
using boundary::memory_error;
using boundary::Outcome;
using boundary::PyRef;
using boundary::read_failure_error;
using boundary::result_lists;
using boundary::SignalCheck;

Outcome reduce_stl_points_body(std::string path, std::uint64_t clusters) {
  renew_memory_reserve();
  SignalCheck signals;
  const parallel::InlineScope small_input;
  PodVector<reduce::PointRecord> points;
  reduce::BoundingBox box{};
  {
    stl::ReadResult<ingest::SummedMesh> read = ingest::read_mesh_file(path, signals.interrupt());
    if (!read) {
      if (read.error().kind == stl::ReadErrorKind::kInterrupted) return signals.exception();
      return read_failure_error(read.error());
    }
    reduce::PointList made = reduce::build_point_records(std::move(read).value());
    points = std::move(made.records);
    box = made.box;
  }
  parallel::InlineScope::engage_if(parallel::few_points(points.size()));
  if (signals.stop()) return signals.exception();

  const std::uint64_t n = reduce::cells_per_axis(clusters);

  std::vector<reduce::PointRecord> adjusted;
  {
    reduce::CellMap cells;
    reduce::accumulate_cells(points, box, n, cells);
    if (signals.stop()) return signals.exception();
    adjusted = reduce::pick_representatives(cells, points);
  }
  if (signals.stop()) return signals.exception();
  // A result this large could not be returned: refuse it before building any of it.
  if (!points.empty()) {
    if (auto message = reduce::result_too_large(clusters)) return memory_error(*message);
  }
  reduce::adjust_count(adjusted, points, clusters);
  PodVector<reduce::PointRecord>().swap(points);

  reduce::SplitOutput out = reduce::split_output(std::move(adjusted));
  if (signals.stop()) return signals.exception();
  const GcPause no_collections_while_building;
  return result_lists(std::move(out.positions), std::move(out.normals));
}

}  // namespace
}  // namespace quarvex

PyMODINIT_FUNC PyInit_quarvex(void) {
  quarvex::install_out_of_memory_handler();
  return quarvex::boundary::init_module(&quarvex::reduce_stl_points_body);
}
