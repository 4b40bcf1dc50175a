// Remap utilities: calc_swaps, inverse_remap, merge_remaps, replace_middle_remap.
//
// REMAP convention (see common/host.hpp): the state on qbits[i] moves to qbits[remap[i]]; the
// entries of `remap` are positions in `qbits`. None of these functions modifies its arguments.
#include <nanobind/nanobind.h>

#include <algorithm>
#include <cstdint>
#include <set>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <vector>

#include "common/convert.hpp"
#include "common/host.hpp"
#include "swapcore/qubit_graph.hpp"
#include "swapcore/swap_synthesis.hpp"

namespace couplize::py {

using namespace nb::literals;

namespace {

struct RemapFields {
    std::vector<std::uint32_t> qbits, remap;
};

RemapFields read_remap(nb::handle op) {
    return {to_uint32_list(op.attr("qbits")), to_uint32_list(op.attr("remap"), "A REMAP's remap")};
}

// A REMAP's fields, checked (distinct qubits, a permutation of the positions): ValueError.
RemapFields read_checked_remap(nb::handle op) {
    RemapFields r = read_remap(op);
    check_remap(r.qbits, r.remap);
    return r;
}

Py_ssize_t field_length(nb::handle op, const char* field) {
    nb::object value = op.attr(field);
    return value.is_none() ? 0 : static_cast<Py_ssize_t>(nb::len(value));
}

nb::list to_swap_tuples(const SwapList& swaps) {
    nb::list result;
    for (auto [a, b] : swaps) result.append(nb::make_tuple(nb::int_(a), nb::int_(b)));
    return result;
}

nb::list calc_swaps(nb::handle graph, nb::handle classical_remap) {
    if (!nb::isinstance<QubitGraph>(graph))
        raise(PyExc_Exception, "The first argument must be a QubitGraph");
    if (!is_op(classical_remap)) raise(PyExc_Exception, "The second argument must be an Op");
    if (!is_remap(classical_remap)) raise(PyExc_Exception, "The second argument is not a REMAP");
    if (field_length(classical_remap, "qbits") != field_length(classical_remap, "remap"))
        raise(PyExc_Exception,
              "In classical_remap, 'qbits' field and 'remap' field have not the same length");
    RemapFields r = read_remap(classical_remap);
    // A private copy: the search fills the graph's path cache, and another thread may use or
    // change the caller's graph while this one runs without the GIL.
    QubitGraph native = native_ref<QubitGraph>(graph, "graph");
    SwapList swaps;
    {
        nb::gil_scoped_release release;
        swaps = find_swaps(&native, std::move(r.qbits), std::move(r.remap));
    }
    return to_swap_tuples(swaps);
}

nb::object inverse_remap(nb::handle remap) {
    if (!is_op(remap))
        raise(PyExc_ValueError,
              "The given argument is not an instance of mirel.comm.datamodel.ttypes.Op");
    if (!is_remap(remap)) raise(PyExc_TypeError, "The given argument is not a REMAP");
    const RemapFields r = read_checked_remap(remap);
    std::vector<std::uint32_t> inverse(r.remap.size());
    for (std::uint32_t i = 0; i < r.remap.size(); ++i) inverse[r.remap[i]] = i;
    nb::object result = fresh_deepcopy(remap);
    result.attr("remap") = to_int_list(inverse);
    return result;
}

nb::object merge_remaps(nb::handle first_remap, nb::handle second_remap) {
    if (!is_op(first_remap) || !is_op(second_remap))
        raise(PyExc_ValueError,
              "At least one argument is not an instance of mirel.comm.datamodel.ttypes.Op");
    if (!is_remap(first_remap) || !is_remap(second_remap))
        raise(PyExc_TypeError, "At least one argument is not a REMAP");
    const RemapFields first = read_checked_remap(first_remap);
    const RemapFields second = read_checked_remap(second_remap);

    std::vector<std::uint32_t> qbits(first.qbits);
    qbits.insert(qbits.end(), second.qbits.begin(), second.qbits.end());
    std::sort(qbits.begin(), qbits.end());
    qbits.erase(std::unique(qbits.begin(), qbits.end()), qbits.end());

    // Where one REMAP sends qubit q (q itself when it does not list q).
    auto sender = [](const RemapFields& r) {
        std::unordered_map<std::uint32_t, std::uint32_t> target;
        for (std::size_t i = 0; i < r.qbits.size(); ++i) target[r.qbits[i]] = r.qbits[r.remap[i]];
        return target;
    };
    const auto by_first = sender(first), by_second = sender(second);
    auto send = [](const std::unordered_map<std::uint32_t, std::uint32_t>& target,
                   std::uint32_t q) {
        auto found = target.find(q);
        return found == target.end() ? q : found->second;
    };
    std::vector<std::uint32_t> remap;
    remap.reserve(qbits.size());
    for (std::uint32_t q : qbits) {
        const std::uint32_t moved = send(by_second, send(by_first, q));
        remap.push_back(static_cast<std::uint32_t>(
            std::lower_bound(qbits.begin(), qbits.end(), moved) - qbits.begin()));
    }
    return make_remap(qbits, remap);
}

[[noreturn]] void reject_operation(std::size_t index, const std::string& message) {
    raise(PyExc_ValueError, "Operation " + std::to_string(index) + " of the circuit: " + message);
}

nb::object replace_middle_remap(nb::handle circ, QubitGraph& graph) {
    if (!is_circuit(circ)) {
        // An assertion in the interpreter's sense; with assertions disabled (-O) the same
        // check still refuses the argument, as a TypeError.
        const bool asserts =
            nb::cast<long>(nb::module_::import_("sys").attr("flags").attr("optimize")) == 0;
        raise(asserts ? PyExc_AssertionError : PyExc_TypeError,
              "circ must be an instance of mirel.comm.datamodel.ttypes.Circuit");
    }
    const std::uint32_t n = to_uint32(circ.attr("nbqbits"));
    const std::uint32_t graph_size = graph.get_nbqubits();
    // Every qubit read below is under both bounds, so the per-qubit tables need no more than
    // the smaller one (a huge nbqbits must not size them).
    const std::uint32_t span = std::min(n, graph_size);

    // Read every operation once: qubits (checked against the circuit and the graph), and the
    // fields of each REMAP (checked, wherever it ends up).
    nb::object ops_field = circ.attr("ops");
    const nb::tuple ops = snapshot_ops(ops_field);
    const std::size_t count = nb::len(ops);
    GateList gates(count);
    std::vector<RemapFields> remaps(count);
    for (std::size_t i = 0; i < count; ++i) {
        nb::handle op = PyTuple_GET_ITEM(ops.ptr(), static_cast<Py_ssize_t>(i));
        if (!is_op(op))
            raise(PyExc_TypeError, "Operation " + std::to_string(i) +
                                       " of the circuit is not an instance of "
                                       "mirel.comm.datamodel.ttypes.Op");
        gates[i].first = is_remap(op);
        to_uint32_list(op.attr("qbits"), gates[i].second);
        for (std::uint32_t q : gates[i].second) {
            if (q >= n)
                reject_operation(i, "qubit " + std::to_string(q) + " is not below nbqbits (" +
                                        std::to_string(n) + ")");
            if (q >= graph_size)
                reject_operation(i, "qubit " + std::to_string(q) + " is not in the graph (" +
                                        std::to_string(graph_size) + " qubits)");
        }
        if (gates[i].first) {
            remaps[i].qbits = gates[i].second;
            to_uint32_list(op.attr("remap"), remaps[i].remap, "A REMAP's remap");
            try {
                check_remap(remaps[i].qbits, remaps[i].remap);
            } catch (const std::invalid_argument& e) {
                reject_operation(i, e.what());
            }
        }
    }

    // Which REMAPs stay in the middle, and the swaps that replace them.
    std::set<int> middle;
    std::vector<SwapList> swaps(count);
    QubitGraph topology = graph;  // private copy, as in calc_swaps
    {
        nb::gil_scoped_release release;
        middle = find_middle_swaps(gates, span);
        for (int i : middle)
            swaps[i] =
                find_swaps(&topology, std::move(remaps[i].qbits), std::move(remaps[i].remap));
    }

    // The circuit without its operations, copied; then the operations one by one.
    nb::object fresh = copy_circuit_without_ops(circ, ops_field, ops);
    nb::list fresh_ops;
    std::vector<char> used(span, 0);
    std::vector<nb::handle> before, after;
    for (std::size_t i = 0; i < count; ++i) {
        nb::handle op = PyTuple_GET_ITEM(ops.ptr(), static_cast<Py_ssize_t>(i));
        if (middle.count(static_cast<int>(i))) {
            for (auto [a, b] : swaps[i]) fresh_ops.append(make_swap(a, b));
        } else if (gates[i].first) {
            const bool touches_used = std::any_of(gates[i].second.begin(), gates[i].second.end(),
                                                  [&](std::uint32_t q) { return used[q] != 0; });
            // A REMAP that follows one moved to the end on a shared qubit must stay after it,
            // so the qubits of the REMAPs moved to the end count as used too.
            if (!touches_used) {
                before.push_back(op);
                continue;
            }
            after.push_back(op);
        } else {
            fresh_ops.append(fresh_deepcopy(op));
        }
        for (std::uint32_t q : gates[i].second) used[q] = 1;
    }
    fresh.attr("ops") = fresh_ops;

    // Cancel consecutive SWAPs on the same pair, through the dependency graph.
    nb::object graph_circuit =
        nb::module_::import_("mirel.lumbra.libcpp_lumbra").attr("GraphCircuit")();
    graph_circuit.attr("load_circuit")(fresh);
    nb::set unordered;
    unordered.add(nb::int_(0));
    unordered.add(nb::int_(1));
    nb::list ordered;
    ordered.append(nb::int_(0));
    ordered.append(nb::int_(1));
    nb::list pattern;
    pattern.append(nb::make_tuple("SWAP", unordered));
    pattern.append(nb::make_tuple("SWAP", ordered));
    nb::object first_occurrence = nb::module_::import_("builtins").attr("all");
    // Each replacement removes two operations, so more rounds than that mean a rewriting fault.
    const std::size_t max_rounds = nb::len(fresh_ops) / 2 + 1;
    for (std::size_t round = 0;; ++round) {
        nb::object replaced =
            graph_circuit.attr("replace_pattern")(pattern, nb::list(), "pos"_a = first_occurrence);
        const int truth = PyObject_IsTrue(replaced.ptr());
        if (truth < 0) throw nb::python_error();
        if (!truth) break;
        if (round >= max_rounds)
            raise(PyExc_RuntimeError, "The SWAP cancellation did not terminate");
    }
    nb::object result = graph_circuit.attr("to_circ")();

    // REMAPs that can move to an end go there, as copies, in their original order.
    nb::object result_ops = result.attr("ops");
    for (nb::handle op : after) result_ops.attr("append")(fresh_deepcopy(op));
    nb::list leading;
    for (nb::handle op : before) leading.append(fresh_deepcopy(op));
    if (PySequence_SetSlice(result_ops.ptr(), 0, 0, leading.ptr()) != 0) throw nb::python_error();
    return result;
}

}  // namespace

void bind_remap(nb::module_& m) {
    m.def("calc_swaps", &calc_swaps, "graph"_a.none(), "classical_remap"_a.none(),
          nb::sig(
              "def calc_swaps(graph: QubitGraph, classical_remap: mirel.comm.datamodel.ttypes.Op) "
              "-> list[tuple[int, int]]"),
          R"DOC(Replace a classical remap quantum swaps

Args:
    graph (:class:`QubitGraph`): the topology the swaps must respect
    classical_remap (:class:`Op`): the REMAP operation to implement

Returns:
    list<tuple<int, int>>: the SWAP gates, as pairs of neighbouring qubits, in
    application order

>>> from mirel.comm.datamodel.ttypes import Op, OpType
>>> graph = QubitGraph(3)
>>> graph.add_edge(0, 1)
>>> graph.add_edge(1, 2)
>>> calc_swaps(graph, Op(type=OpType.REMAP, qbits=[0, 1, 2], remap=[2, 0, 1]))
[(0, 1), (1, 2)])DOC");
    m.def("inverse_remap", &inverse_remap, "remap"_a.none(),
          nb::sig("def inverse_remap(remap: mirel.comm.datamodel.ttypes.Op) -> "
                  "mirel.comm.datamodel.ttypes.Op"),
          R"DOC(Return the inverse of a REMAP operation

Args:
    remap (:class:`Op`): a REMAP operation (not modified)

Returns:
    :class:`Op`: a copy of the argument whose remap undoes it, on the same qubits

>>> from mirel.comm.datamodel.ttypes import Op, OpType
>>> inverse_remap(Op(type=OpType.REMAP, qbits=[0, 1, 2], remap=[2, 0, 1])).remap
[1, 2, 0])DOC");
    m.def("merge_remaps", &merge_remaps, "first_remap"_a.none(), "second_remap"_a.none(),
          nb::sig("def merge_remaps(first_remap: mirel.comm.datamodel.ttypes.Op, second_remap: "
                  "mirel.comm.datamodel.ttypes.Op) -> mirel.comm.datamodel.ttypes.Op"),
          R"DOC(Merge two REMAP operations into one

Args:
    first_remap (:class:`Op`): the REMAP applied first
    second_remap (:class:`Op`): the REMAP applied second

Returns:
    :class:`Op`: a new REMAP over the union of their qubits (ascending), moving
    each qubit first by first_remap, then by second_remap

>>> from mirel.comm.datamodel.ttypes import Op, OpType
>>> first = Op(type=OpType.REMAP, qbits=[0, 1], remap=[1, 0])
>>> second = Op(type=OpType.REMAP, qbits=[1, 2], remap=[1, 0])
>>> merged = merge_remaps(first, second)
>>> merged.qbits, merged.remap
([0, 1, 2], [2, 0, 1]))DOC");
    m.def("replace_middle_remap", &replace_middle_remap, "circ"_a.none(), "graph"_a,
          nb::sig("def replace_middle_remap(circ: mirel.comm.datamodel.ttypes.Circuit, graph: "
                  "QubitGraph) -> mirel.comm.datamodel.ttypes.Circuit"),
          R"DOC(Replace the REMAP operations of a circuit that lie between gates by SWAP gates

The REMAPs that can be moved to the beginning or to the end of the circuit are
moved there; the others become SWAP gates along shortest paths of the graph, and
consecutive SWAP gates on the same two qubits cancel.

Args:
    circ (:class:`Circuit`): the circuit (not modified)
    graph (:class:`QubitGraph`): the topology the SWAP gates must respect

Returns:
    :class:`Circuit`: a new circuit

>>> from mirel.comm.datamodel.ttypes import Op, OpType
>>> graph = QubitGraph(3)
>>> graph.add_edge(0, 1)
>>> graph.add_edge(1, 2)
>>> from mirel.comm.datamodel.ttypes import Circuit
>>> ops = [Op(gate="CNOT", qbits=[0, 1]), Op(type=OpType.REMAP, qbits=[0, 2], remap=[1, 0]),
...        Op(gate="CNOT", qbits=[0, 1])]
>>> routed = replace_middle_remap(Circuit(ops=ops, nbqbits=3), graph)
>>> [(op.gate, op.qbits) for op in routed.ops]
[('CNOT', [0, 1]), ('SWAP', [0, 1]), ('SWAP', [1, 2]), ('SWAP', [0, 1]), ('CNOT', [0, 1])])DOC");
}

}  // namespace couplize::py
