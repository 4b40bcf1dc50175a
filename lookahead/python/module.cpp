// The lookahead extension module: the SABRE swap-insertion engine. It routes on swapcore's
// QubitGraph, which it re-exports so that callers can take the graph class from here.
#include <nanobind/nanobind.h>

namespace couplize::py {
void bind_sabre_couplizer(nanobind::module_& m);
}

NB_MODULE(lookahead, m) {
    namespace nb = nanobind;
    m.doc() = "SABRE swap-insertion engine";
    nb::module_ swapcore = nb::module_::import_("mirel.couplize.swapcore");
    nb::module_ ttypes = nb::module_::import_("mirel.comm.datamodel.ttypes");
    m.attr("QubitGraph") = swapcore.attr("QubitGraph");
    m.attr("Op") = ttypes.attr("Op");
    m.attr("OpType") = ttypes.attr("OpType");
    m.attr("deepcopy") = nb::module_::import_("copy").attr("deepcopy");
    couplize::py::bind_sabre_couplizer(m);
}
