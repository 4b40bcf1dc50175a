// The lookahead extension module: the SABRE swap-insertion engine. It routes on swapcore's
// QubitGraph, which it re-exports so that callers can take the graph class from here.
#include <nanobind/nanobind.h>

#include "common/host.hpp"

namespace couplize::py {
void bind_sabre_couplizer(nanobind::module_& m);
}

// The host's classes and the op factory are built now, while the import lock keeps other threads
// out of this module: built on first use instead, their function-local statics could deadlock,
// a thread waiting on the guard while holding the GIL that the building thread's Python code
// (the host Op's __init__, an import) needs back.
NB_MODULE(lookahead, m) {
    namespace nb = nanobind;
    m.doc() = "SABRE swap-insertion engine";
    couplize::py::OpFactory::get();  // and HostTypes::get(), which it uses
    nb::module_ swapcore = nb::module_::import_("mirel.couplize.swapcore");
    nb::module_ ttypes = nb::module_::import_("mirel.comm.datamodel.ttypes");
    m.attr("QubitGraph") = swapcore.attr("QubitGraph");
    m.attr("Op") = ttypes.attr("Op");
    m.attr("OpType") = ttypes.attr("OpType");
    m.attr("deepcopy") = nb::module_::import_("copy").attr("deepcopy");
    couplize::py::bind_sabre_couplizer(m);
}
