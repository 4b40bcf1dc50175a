#pragma once
// Swap synthesis: turning a REMAP (a permutation of the states of some physical qubits) into
// SWAP gates between neighbours of the topology, and finding which REMAP entries of a circuit
// sit in its middle (they can be moved neither to the start nor to the end).
//
// Contract of a remap: `qbits` holds distinct physical qubits of the topology and `remap` a
// permutation of the positions 0..k-1 (k = qbits.size()); the state on qbits[i] moves to
// qbits[remap[i]]. Anything else throws std::invalid_argument before any work is done. Both
// lists are plain indices, as a REMAP operation holds them.
#include <cstdint>
#include <set>
#include <unordered_map>
#include <utility>
#include <vector>

#include "common/qubits.hpp"
#include "swapcore/gate.hpp"
#include "swapcore/routing_target.hpp"

namespace couplize {

using Swap = std::pair<Physical, Physical>;
using SwapList = std::vector<Swap>;

// Throws std::invalid_argument unless `qbits` are distinct and `remap` is a permutation of
// their positions 0..k-1.
void check_remap(const std::vector<std::uint32_t>& qbits, const std::vector<std::uint32_t>& remap);

// check_remap, and every qubit below `nb_physical`.
void check_remap(const std::vector<std::uint32_t>& qbits, const std::vector<std::uint32_t>& remap,
                 std::uint32_t nb_physical);

// Removes pairs of identical swaps with nothing in between on either qubit, repeatedly: one
// stack of surviving swaps per qubit; the last survivor on u is also the last on v exactly when
// it acted on the same pair, so both go and the swaps below become adjacent again. Nested pairs
// such as (a,b)(c,d)(c,d)(a,b) vanish. O(#swaps); every qubit must be below `nb_physical`.
SwapList cancel_inverse_pairs(const SwapList& swaps, std::uint32_t nb_physical);

// The shortest paths one synthesis run asks for: the first direction asked of a pair is the
// target's path, and the other direction is then its reverse, so every exchange between two
// qubits of one run walks the same edges. Reads only the immutable target: safe to use without
// the interpreter lock while other threads read the same target.
class SwapPaths {
public:
    explicit SwapPaths(const RoutingTarget& target) : target_(&target) {}

    const RoutingTarget& target() const { return *target_; }
    // Empty when no path joins the two qubits; valid as long as this object.
    const std::vector<Physical>& path(Physical from, Physical to);

private:
    const RoutingTarget* target_;
    std::unordered_map<std::uint64_t, std::vector<Physical>> paths_;  // by (from, to)
};

// SWAP gates, in application order, that move the state of qbits[i] onto qbits[remap[i]] for
// every i. Each cycle l -> x1 -> ... -> xr of the permutation becomes the exchanges (l,x1),
// ..., (l,xr); one exchange of two qubits at distance m costs 2m - 1 neighbour swaps along a
// shortest path (there and back, leaving the intermediate qubits as they were); then
// cancel_inverse_pairs. Cost: the paths plus O(#swaps). Throws std::invalid_argument for a bad
// remap (before any work) and for a cycle across two components of the topology.
SwapList find_swaps(SwapPaths& paths, const std::vector<std::uint32_t>& qbits,
                    const std::vector<std::uint32_t>& remap);
// The same with paths of its own.
SwapList find_swaps(const RoutingTarget& target, const std::vector<std::uint32_t>& qbits,
                    const std::vector<std::uint32_t>& remap);

// Positions (0-based, in `gates`) of the flagged entries that have an unflagged entry before
// them and an unflagged entry after them in the dependency graph of the list (two entries
// depend on each other through chains of shared qubits). With the flag marking REMAP
// operations, these are the remaps that can be pushed neither to the start nor to the end.
//
// The list is read into a DirectedGraph (vertex v = entry v - 1, one edge per qubit from the
// previous entry on that qubit) and the two reachability marks are propagated in one forward
// and one backward pass in list order, which is a topological order: O(total qubit count).
// Throws std::invalid_argument for a qubit index not below nb_physical, and the dependency
// graph's entering-edge error for an entry that lists one qubit twice.
std::set<int> find_middle_swaps(GateList gates, std::uint32_t nb_physical);

}  // namespace couplize
