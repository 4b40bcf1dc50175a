// Remap utilities: calc_swaps, inverse_remap, merge_remaps, replace_middle_remap.
#include <nanobind/nanobind.h>

namespace couplize::py {

void bind_remap(nanobind::module_& m) { (void)m; }

}  // namespace couplize::py
