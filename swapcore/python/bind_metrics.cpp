// PredefMetric and QuantumCostMetric.
#include "common/convert.hpp"
#include "common/host.hpp"
#include "swapcore/python/engine_types.hpp"
#include "swapcore/python/gate_lists.hpp"

namespace couplize::py {

using namespace nb::literals;

namespace {

constexpr const char* no_reduce = "no default __reduce__ due to non-trivial __cinit__";

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
                             R"DOC(Base class of the metrics predefined by this module

>>> isinstance(QuantumCostMetric(), PredefMetric)
True)DOC")
        .def(nb::init<>(), nb::sig("def __init__(self) -> None"))
        .def(
            "__getstate__",
            [](nb::handle self) { return nb::dict(nb::borrow<nb::dict>(self.attr("__dict__"))); },
            nb::sig("def __getstate__(self) -> dict[str, typing.Any]"))
        .def(
            "__setstate__",
            [](nb::pointer_and_handle<PredefMetric> self, nb::dict state) {
                new (self.p) PredefMetric();
                self.h.attr("__dict__").attr("update")(state);
            },
            nb::sig("def __setstate__(self, state: dict[str, typing.Any], /) -> None"));

    nb::class_<QuantumCostMetric, PredefMetric>(m, "QuantumCostMetric",
                                                R"DOC(Metric minimizing the number of quantum gates

>>> engine = Couplizer(metric=QuantumCostMetric())
>>> type(engine.metric).__name__
'QuantumCostMetric')DOC")
        .def(nb::init<>(), nb::sig("def __init__(self) -> None"))
        .def("__copy__", &copy_metric, nb::sig("def __copy__(self) -> QuantumCostMetric"),
             "Return a copy of current object")
        .def(
            "__deepcopy__", [](nb::handle self, nb::handle) { return copy_metric(self); },
            nb::sig("def __deepcopy__(self, memo: dict[int, typing.Any], /) -> QuantumCostMetric"))
        .def(
            "__reduce__", [](nb::handle) -> nb::object { raise(PyExc_TypeError, no_reduce); },
            nb::sig("def __reduce__(self) -> typing.NoReturn"))
        .def(
            "set_couplizer",
            [](nb::handle, nb::handle couplizer) {
                check_arg_type(couplizer, nb::type<Couplizer>(), "couplizer", true);
            },
            "couplizer"_a.none(),
            nb::sig("def set_couplizer(self, couplizer: Couplizer | None) -> None"),
            R"DOC(Define the couplizer which will be linked to this predefined metric

>>> QuantumCostMetric().set_couplizer(Couplizer()))DOC")
        .def(
            "init", [](nb::handle) {}, nb::sig("def init(self) -> None"),
            R"DOC(Execute this function to warn this metric that the given couplizer is ready and
entirely defined

>>> QuantumCostMetric().init())DOC")
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
            nb::sig("def get_best_index(self, base_path: collections.abc.Sequence[tuple[bool, "
                    "collections.abc.Sequence[typing.SupportsIndex]]], "
                    "candidates: collections.abc.Sequence[collections.abc.Sequence[tuple[bool, "
                    "collections.abc.Sequence[typing.SupportsIndex]]]]) -> int"),
            R"DOC(Returns the index of the candidate which minimize the quantum cost

A path is a list of (bool, qubits) pairs, True for an operation of the circuit and False
for an inserted SWAP; the shortest candidate wins, the first one on ties.

>>> QuantumCostMetric().get_best_index([], [[(False, [0, 1]), (True, [1, 2])], [(True, [0, 1])]])
1)DOC")
        .def(
            "__call__",
            [](nb::handle, nb::handle circuit) {
                if (!is_circuit(circuit)) raise(PyExc_ValueError, "The argument must be a Circuit");
                return -static_cast<long long>(nb::len(nb::object(circuit.attr("ops"))));
            },
            "circuit"_a.none(),
            nb::sig("def __call__(self, circuit: mirel.comm.datamodel.ttypes.Circuit) -> int"),
            R"DOC(Returns the oposite of the quantum cost

>>> from mirel.comm.datamodel.ttypes import Circuit, Op
>>> QuantumCostMetric()(Circuit(ops=[Op(gate="H", qbits=[0])], nbqbits=1))
-1)DOC");
}

}  // namespace couplize::py
