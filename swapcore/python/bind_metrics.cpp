// PredefMetric and QuantumCostMetric.
#include "common/convert.hpp"
#include "common/host.hpp"
#include "swapcore/python/engine_types.hpp"
#include "swapcore/python/gate_lists.hpp"

namespace couplize::py {

using namespace nb::literals;

namespace {

constexpr const char* kNoReduce = "no default __reduce__ due to non-trivial __cinit__";

// A new instance of the metric's own type carrying a copy of its instance dictionary.
nb::object copy_metric(nb::handle self) {
    nb::object clone = nb::handle(reinterpret_cast<PyObject*>(Py_TYPE(self.ptr())))();
    nb::object state = nb::getattr(self, "__dict__", nb::none());
    if (!state.is_none()) clone.attr("__dict__").attr("update")(state);
    return clone;
}

}  // namespace

void bind_metrics(nb::module_& m) {
    nb::class_<PredefMetric>(m, "PredefMetric", nb::dynamic_attr(),
                             "Base class of the metrics predefined by this module")
        .def(nb::init<>())
        .def("__getstate__",
             [](nb::handle self) { return nb::dict(nb::borrow<nb::dict>(self.attr("__dict__"))); })
        .def("__setstate__", [](nb::pointer_and_handle<PredefMetric> self, nb::dict state) {
            new (self.p) PredefMetric();
            self.h.attr("__dict__").attr("update")(state);
        });

    nb::class_<QuantumCostMetric, PredefMetric>(m, "QuantumCostMetric",
                                                "Metric minimizing the number of quantum gates")
        .def(nb::init<>())
        .def("__copy__", &copy_metric, "Return a copy of current object")
        .def("__deepcopy__", [](nb::handle self, nb::handle) { return copy_metric(self); })
        .def("__reduce__", [](nb::handle) -> nb::object { raise(PyExc_TypeError, kNoReduce); })
        .def(
            "set_couplizer",
            [](nb::handle, nb::handle couplizer) {
                check_arg_type(couplizer, nb::type<Couplizer>(), "couplizer", true);
            },
            "couplizer"_a.none(),
            "Define the couplizer which will be linked to this predefined metric")
        .def(
            "init", [](nb::handle) {},
            "Execute this function to warn this metric that the given couplizer is ready and "
            "entirely defined")
        .def(
            "get_best_index",
            [](nb::handle, nb::handle base_path, nb::handle candidates) {
                gate_list_from_python(base_path);  // validates the shape; not used for the choice
                long long best = -1;
                std::size_t best_length = 0, index = 0;
                for (nb::handle candidate : to_owned_sequence(candidates, "candidates")) {
                    const std::size_t length = gate_list_from_python(candidate).size();
                    if (best < 0 || length < best_length) {
                        best = static_cast<long long>(index);
                        best_length = length;
                    }
                    ++index;
                }
                return best;
            },
            "base_path"_a, "candidates"_a,
            "Returns the index of the candidate which minimize the quantum cost")
        .def(
            "__call__",
            [](nb::handle, nb::handle circuit) {
                if (!is_circuit(circuit)) raise(PyExc_ValueError, "The argument must be a Circuit");
                return -static_cast<long long>(nb::len(nb::object(circuit.attr("ops"))));
            },
            "circuit"_a.none(), "Returns the oposite of the quantum cost");
}

}  // namespace couplize::py
