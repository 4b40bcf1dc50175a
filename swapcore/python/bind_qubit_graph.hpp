#pragma once
#include <nanobind/nanobind.h>

namespace couplize::py {
void bind_qubit_graph(nanobind::module_& m);
}
