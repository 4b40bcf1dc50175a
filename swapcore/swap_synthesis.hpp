#pragma once
// Swap synthesis: turning a REMAP (a permutation of the states of some physical qubits) into
// SWAP gates between neighbours of the topology, and finding which REMAP entries of a circuit
// sit in its middle (they can be moved neither to the start nor to the end).
//
// Contract of a remap: `qbits` holds distinct physical qubits of the graph and `remap` a
// permutation of the positions 0..k-1 (k = qbits.size()); the state on qbits[i] moves to
// qbits[remap[i]]. Anything else throws std::invalid_argument before any work is done.
#include <cstdint>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "swapcore/directed_graph.hpp"
#include "swapcore/gate.hpp"
#include "swapcore/qubit_graph.hpp"

namespace couplize {

using Swap = std::pair<std::uint32_t, std::uint32_t>;
using SwapList = std::vector<Swap>;

// Throws std::invalid_argument unless `qbits` are distinct and `remap` is a permutation of
// their positions 0..k-1.
inline void check_remap(const std::vector<std::uint32_t>& qbits,
                        const std::vector<std::uint32_t>& remap) {
    if (qbits.size() != remap.size())
        throw std::invalid_argument("The remap lists " + std::to_string(qbits.size()) +
                                    " qubits but has " + std::to_string(remap.size()) + " entries");
    const std::size_t k = remap.size();
    std::vector<char> seen(k, 0);
    for (std::size_t i = 0; i < k; ++i) {
        if (remap[i] >= k)
            throw std::invalid_argument("The remap is not a permutation of its positions: entry " +
                                        std::to_string(i) + " is " + std::to_string(remap[i]) +
                                        ", not below " + std::to_string(k));
        if (seen[remap[i]])
            throw std::invalid_argument("The remap is not a permutation of its positions: " +
                                        std::to_string(remap[i]) + " appears twice");
        seen[remap[i]] = 1;
    }
    std::set<std::uint32_t> distinct;
    for (std::uint32_t q : qbits)
        if (!distinct.insert(q).second)
            throw std::invalid_argument("The remap lists qubit " + std::to_string(q) + " twice");
}

// check_remap, and every qubit below `nbqubits`.
inline void check_remap(const std::vector<std::uint32_t>& qbits,
                        const std::vector<std::uint32_t>& remap, std::uint32_t nbqubits) {
    check_remap(qbits, remap);
    for (std::uint32_t q : qbits)
        if (q >= nbqubits)
            throw std::invalid_argument("The remap acts on qubit " + std::to_string(q) +
                                        ", which is not in the graph (" + std::to_string(nbqubits) +
                                        " qubits)");
}

// Removes pairs of identical swaps with nothing in between on either qubit, repeatedly: one
// stack of surviving swaps per qubit; the last survivor on u is also the last on v exactly when
// it acted on the same pair, so both go and the swaps below become adjacent again. Nested pairs
// such as (a,b)(c,d)(c,d)(a,b) vanish. O(#swaps); every qubit must be below `nbqubits`.
inline SwapList cancel_inverse_pairs(const SwapList& swaps, std::uint32_t nbqubits) {
    std::vector<std::vector<std::size_t>> last_on(nbqubits);
    std::vector<char> removed(swaps.size(), 0);
    for (std::size_t i = 0; i < swaps.size(); ++i) {
        auto& su = last_on[swaps[i].first];
        auto& sv = last_on[swaps[i].second];
        if (!su.empty() && !sv.empty() && su.back() == sv.back()) {
            removed[i] = removed[su.back()] = 1;
            su.pop_back();
            sv.pop_back();
        } else {
            su.push_back(i);
            sv.push_back(i);
        }
    }
    SwapList result;
    for (std::size_t i = 0; i < swaps.size(); ++i)
        if (!removed[i]) result.push_back(swaps[i]);
    return result;
}

// SWAP gates, in application order, that move the state of qbits[i] onto qbits[remap[i]] for
// every i. Each cycle l -> x1 -> ... -> xr of the permutation becomes the exchanges (l,x1),
// ..., (l,xr); one exchange of two qubits at distance m costs 2m - 1 neighbour swaps along a
// shortest path (there and back, leaving the intermediate qubits as they were); then
// cancel_inverse_pairs. Cost: the paths (cached by the graph) plus O(#swaps).
inline SwapList find_swaps(QubitGraph* graph, std::vector<std::uint32_t> qbits,
                           std::vector<std::uint32_t> remap) {
    if (graph == nullptr) throw std::invalid_argument("find_swaps needs a graph");
    check_remap(qbits, remap, graph->get_nbqubits());

    const std::size_t k = qbits.size();
    SwapList swaps;
    std::vector<char> visited(k, 0);
    for (std::size_t l = 0; l < k; ++l) {
        if (visited[l]) continue;
        visited[l] = 1;
        for (std::size_t x = remap[l]; x != l; x = remap[x]) {
            visited[x] = 1;
            const std::vector<std::uint32_t> p = graph->path(qbits[l], qbits[x]);
            if (p.empty())
                throw std::length_error(
                    "Impossible to transform the classical remap into quantum swaps (the graph "
                    "is not connected)");
            const std::size_t m = p.size() - 1;  // >= 1: the qubits are distinct
            for (std::size_t j = 0; j < m; ++j) swaps.emplace_back(p[j], p[j + 1]);
            for (std::size_t j = m - 1; j-- > 0;) swaps.emplace_back(p[j], p[j + 1]);
        }
    }

    return cancel_inverse_pairs(swaps, graph->get_nbqubits());
}

// Positions (0-based, in `gates`) of the flagged entries that have an unflagged entry before
// them and an unflagged entry after them in the dependency graph of the list (two entries
// depend on each other through chains of shared qubits). With the flag marking REMAP
// operations, these are the remaps that can be pushed neither to the start nor to the end.
//
// The list is read into a DirectedGraph (vertex v = entry v - 1, one edge per qubit from the
// previous entry on that qubit) and the two reachability marks are propagated in one forward
// and one backward pass in list order, which is a topological order: O(total qubit count).
// Throws std::invalid_argument for a qubit index not below n, and the dependency graph's
// entering-edge error for an entry that lists one qubit twice.
inline std::set<int> find_middle_swaps(GateList gates, std::uint32_t n) {
    for (std::size_t e = 0; e < gates.size(); ++e)
        for (std::uint32_t q : gates[e].second)
            if (q >= n)
                throw std::invalid_argument(
                    "Qubit " + std::to_string(q) + " of entry " + std::to_string(e) +
                    " is not below the number of qubits (" + std::to_string(n) + ")");

    DirectedGraph<Gate, std::uint32_t> dag;
    std::vector<int> last(n, dag.start_vertice);
    for (Gate& gate : gates) {
        const int v = dag.add_vertice(gate);
        for (std::uint32_t q : gate.second) {
            dag.add_edge(last[q], v, q);
            last[q] = v;
        }
    }
    dag.end_vertice = dag.add_vertice(Gate{false, {}});
    for (std::uint32_t q = 0; q < n; ++q) dag.add_edge(last[q], dag.end_vertice, q);

    const int m = static_cast<int>(gates.size());
    auto flagged = [&](int v) { return gates[static_cast<std::size_t>(v - 1)].first; };
    // after_gate[v]: v is flagged and some unflagged entry precedes it (the forward set);
    // before_gate[v]: v is flagged and some unflagged entry follows it (the backward set).
    std::vector<char> after_gate(static_cast<std::size_t>(m) + 2, 0);
    std::vector<char> before_gate(after_gate.size(), 0);
    for (int v = 1; v <= m; ++v) {
        if (!flagged(v)) continue;
        for (const auto& [q, p] : dag.vertex(v).predecessors)
            if (p != dag.start_vertice && (!flagged(p) || after_gate[p])) after_gate[v] = 1;
    }
    for (int v = m; v >= 1; --v) {
        if (!flagged(v)) continue;
        for (const auto& [q, s] : dag.vertex(v).successors)
            if (s != dag.end_vertice && (!flagged(s) || before_gate[s])) before_gate[v] = 1;
    }
    std::set<int> middle;
    for (int v = 1; v <= m; ++v)
        if (after_gate[v] && before_gate[v]) middle.insert(v - 1);
    return middle;
}

}  // namespace couplize
