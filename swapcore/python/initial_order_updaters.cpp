// Initial-order updaters of the windowed engine: simulated annealing over starting placements,
// and a forward/backward/forward pass that starts each routing where the previous one ended.
// Both read the circuit's qubit lists once and reroute natively from each placement.
#include <algorithm>
#include <cstdint>
#include <numeric>
#include <string>
#include <utility>
#include <vector>

#include "common/convert.hpp"
#include "common/host.hpp"
#include "swapcore/python/couplizer_routing.hpp"
#include "swapcore/python/duration_metric.hpp"

namespace couplize::py {

namespace {

using Placement = std::vector<std::uint32_t>;

Placement identity(std::size_t n) {
    Placement p(n);
    std::iota(p.begin(), p.end(), 0u);
    return p;
}

nb::object checked(PyObject* result) {
    if (!result) throw nb::python_error();
    return nb::steal(result);
}

bool less(nb::handle a, nb::handle b) {
    const int result = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_LT);
    if (result < 0) throw nb::python_error();
    return result == 1;
}

bool ends_with_remap(const CircuitQubits& input) {
    const std::size_t size = nb::len(input.ops);
    return size > 0 && is_remap(input.ops[size - 1]);
}

// Minus the engine's score of the last routing, taken without its final REMAP. The op-count
// metrics are answered from the path length; any other metric sees the routed circuit, a new
// one each time (a metric may keep the circuits it is given).
nb::object routing_cost(Couplizer& self, nb::handle circuit, const CircuitQubits& input) {
    if (scores_by_op_count(self.metric)) {
        const std::size_t length = self.path_finder.base_path().size();
        // Without an appended REMAP, a trailing REMAP of the input is dropped all the same.
        const std::vector<std::uint32_t> order = self.path_finder.get_order();
        const bool remap_due = !std::is_sorted(order.begin(), order.end());
        const std::size_t dropped = (!remap_due && ends_with_remap(input) && length > 0) ? 1 : 0;
        return nb::int_(static_cast<long long>(length - dropped));
    }
    // The final REMAP is left out; without one, a trailing REMAP of the input goes instead.
    nb::object routed = empty_copy(input, circuit);
    bool remap_due = false;
    nb::list ops = routed_ops(self, input, false, &remap_due);
    const std::size_t size = nb::len(ops);
    if (!remap_due && size > 0 && is_remap(ops[size - 1])) ops.attr("pop")();
    routed.attr("ops") = ops;
    return checked(PyNumber_Negative(self.metric(routed).ptr()));
}

// Built-in metrics give the same durations for every placement of one circuit, so their
// `init` runs once per search; a metric defined in Python is told before every routing.
bool is_builtin_metric(nb::handle metric) {
    nb::handle type(reinterpret_cast<PyObject*>(Py_TYPE(metric.ptr())));
    return type.is(nb::type<QuantumCostMetric>()) || type.is(nb::type<DurationMetric>());
}

// Where each starting qubit of the last routing ended, composed with `placement`: entry q is
// the physical qubit on which circuit qubit q, started on placement[q], ends.
Placement final_places(const Couplizer& self, const Placement& placement) {
    Placement result(placement.size());
    for (std::size_t q = 0; q < placement.size(); ++q)
        result[q] = index(self.path_finder.order().get_physical_qubit(Logical{placement[q]}));
    return result;
}

}  // namespace

nb::object couplize_annealing(Couplizer& self, nb::handle circuit, std::int32_t max_iterations,
                              double temperature) {
    const CircuitQubits input = read_circuit(self, circuit);
    // A negative temperature would accept worse placements more readily than better ones, and
    // NaN would never cool; both are refused, as the host's own annealing does.
    if (!(temperature >= 0.0))
        raise(PyExc_ValueError, "The annealing temperature must not be negative (got " +
                                    nb::cast<std::string>(nb::repr(nb::float_(temperature))) + ")");
    const std::int32_t nbqbits = to_int32(circuit.attr("nbqbits"));
    const std::size_t n = nbqbits > 0 ? static_cast<std::size_t>(nbqbits) : 0;
    const bool init_once = is_builtin_metric(self.metric);
    nb::object scratch = empty_copy(input, circuit);

    Placement order = identity(n);
    route(self, circuit, input, &order, scratch, true);
    nb::object cost = routing_cost(self, circuit, input);
    Placement best_order = order;
    nb::object best_cost = cost;

    // A single placement leaves nothing to search.
    if (n >= 2) {
        nb::module_ random = nb::module_::import_("random");
        nb::object exp = nb::module_::import_("numpy").attr("exp");
        nb::object population = nb::module_::import_("builtins").attr("range")(n);
        nb::object T = nb::float_(temperature);
        for (std::int32_t it = 0; it < max_iterations; ++it) {
            nb::object drawn = random.attr("sample")(population, 2);
            const std::uint32_t a = to_uint32(drawn[0]), b = to_uint32(drawn[1]);
            if (a >= n || b >= n)
                raise(PyExc_ValueError, "random.sample drew a qubit outside the circuit");
            Placement candidate = order;
            std::swap(candidate[a], candidate[b]);
            route(self, circuit, input, &candidate, scratch, !init_once);
            nb::object new_cost = routing_cost(self, circuit, input);

            bool accept = less(new_cost, cost);
            if (!accept) {
                nb::object increase = checked(PyNumber_Subtract(new_cost.ptr(), cost.ptr()));
                const double t = nb::cast<double>(T);
                if (t == 0.0) {
                    // Frozen: only a worse placement is refused (the limit of exp(-x / T)).
                    accept = !less(nb::int_(0), increase);
                } else {
                    nb::object ratio = checked(PyNumber_TrueDivide(
                        checked(PyNumber_Negative(increase.ptr())).ptr(), T.ptr()));
                    nb::object draw = random.attr("uniform")(0, 1);
                    accept = less(draw, exp(ratio));
                }
            }
            if (accept) {
                order = candidate;
                cost = new_cost;
                if (less(new_cost, best_cost)) {
                    best_order = candidate;
                    best_cost = new_cost;
                }
            }
            if (it % 10 == 0) T = checked(PyNumber_TrueDivide(T.ptr(), nb::int_(10).ptr()));
            if (nb::cast<double>(T) == 0.0) break;
        }
    }
    return routed_from(self, circuit, input, best_order);
}

nb::object couplize_reverse(Couplizer& self, nb::handle circuit) {
    const CircuitQubits input = read_circuit(self, circuit);
    // Placements cover the whole graph, so a circuit smaller than the graph can start where an
    // earlier pass left its qubits, on any physical qubit.
    const Placement start = identity(self.path_finder.target().nb_physical());
    nb::object scratch = empty_copy(input, circuit);
    route(self, circuit, input, &start, scratch, true);
    const Placement after_forward = final_places(self, start);

    // The backward pass routes the operations in reverse order (a shallow copy: routing never
    // modifies the operations it is given).
    nb::object backward = HostTypes::get().copy(circuit);
    nb::list reversed = nb::borrow<nb::list>(checked(PySequence_List(circuit.attr("ops").ptr())));
    reversed.reverse();
    backward.attr("ops") = reversed;
    const CircuitQubits backward_input = read_circuit(self, backward);
    route(self, backward, backward_input, &after_forward, scratch, true);
    const Placement after_backward = final_places(self, after_forward);

    return routed_from(self, circuit, input, after_backward);
}

}  // namespace couplize::py
