#pragma once
#include <cstdint>
#include <vector>

#include "common/qubits.hpp"
#include "lookahead/group_graph.hpp"
#include "lookahead/sabre_target.hpp"
#include "swapcore/order.hpp"

namespace couplize {

// The look-ahead groups of a logical qubit, their other qubit and gate count, when it is in at
// most two; unused entries hold the qubit itself and count 0.
struct AheadOf {
    Logical other[2];
    std::int32_t nb_two_qubit_gates[2];
    std::uint32_t count;  // look-ahead groups on the qubit, may exceed 2
    std::int64_t total;   // their gate count, which bounds the change of the look-ahead sum

    static AheadOf none(Logical q) { return AheadOf{{q, q}, {0, 0}, 0, 0}; }

    // Returns false once the qubit is in more than two groups.
    bool add(Logical q, std::int32_t nb_gates) {
        if (count < 2) {
            other[count] = q;
            nb_two_qubit_gates[count] = nb_gates;
        }
        total += nb_gates;
        return ++count <= 2;
    }
};

// The look-ahead set of a SABRE pass: the groups 1 to `window` DAG edges below the front layer,
// with the extended heuristic's look-ahead sum (over these groups, two-qubit gate count x path
// length in qubits) of the current placement, which the router keeps up to date SWAP by SWAP
// through add_to_sum. A qubit in more than two groups ("crowded") gets its groups from a
// compressed list by qubit.
class LookaheadSet {
public:
    // All `nb_logical` qubits without a group.
    void reset(std::uint32_t nb_logical);

    // Rebuilds the set below the current front layer of `groups` under `order`.
    void prepare(GroupGraph& groups, unsigned window, const Order& order,
                 const SabreTarget& target);

    const AheadOf& of(Logical q) const { return ahead_of_[index(q)]; }

    // Calls f(other qubit, two-qubit gate count) for every look-ahead group on q.
    template <typename F>
    void for_each_partner(Logical q, F&& f) const {
        const AheadOf& of = ahead_of_[index(q)];
        if (of.count <= 2) {
            for (std::uint32_t i = 0; i < of.count; ++i) f(of.other[i], of.nb_two_qubit_gates[i]);
            return;
        }
        for (std::uint32_t k = start_[index(q)]; k < start_[index(q) + 1]; ++k) {
            const std::uint32_t e = by_qubit_[k];
            f(firsts_[e] == q ? seconds_[e] : firsts_[e], nb_gates_of_[e]);
        }
    }

    // Gate count of the look-ahead groups holding both x and y. Inline: the scan calls it per
    // candidate of a crowded qubit, and a call there would keep its loads from leaving the loop.
    std::int64_t shared(Logical x, Logical y) const {
        const AheadOf& of = ahead_of_[index(x)];
        if (of.count <= 2)
            return (of.other[0] == y ? of.nb_two_qubit_gates[0] : 0) +
                   (of.other[1] == y ? of.nb_two_qubit_gates[1] : 0);
        std::int64_t shared = 0;
        for (std::uint32_t k = start_[index(x)]; k < start_[index(x) + 1]; ++k) {
            const std::uint32_t e = by_qubit_[k];
            if ((firsts_[e] == x ? seconds_[e] : firsts_[e]) == y) shared += nb_gates_of_[e];
        }
        return shared;
    }

    // Qubits of the groups, first and second, in the walk's order.
    const std::vector<Logical>& firsts() const { return firsts_; }
    const std::vector<Logical>& seconds() const { return seconds_; }

    std::int64_t sum() const { return sum_; }
    void add_to_sum(std::int64_t change) { sum_ += change; }
    // Two-qubit gates in the set, 1 for an empty set (the divisor of the look-ahead term).
    std::int64_t nb_gates() const { return nb_gates_; }
    // Bound of |change of the sum| by one SWAP.
    std::int64_t max_change() const { return max_change_; }

    // The sum computed afresh for `order` (what sum() must equal; checked in debug builds).
    std::int64_t recompute_sum(const Order& order, const SabreTarget& target) const;

private:
    std::vector<AheadOf> ahead_of_;  // by logical qubit
    std::vector<int> groups_;        // vertices, in the walk's order
    std::vector<Logical> firsts_, seconds_;
    std::vector<std::int64_t> nb_gates_of_;  // by entry of groups_
    // Crowded layers only: the entries of qubit q at by_qubit_[start_[q] .. start_[q + 1]).
    std::vector<std::uint32_t> start_, by_qubit_, fill_;
    std::int64_t nb_gates_ = 1;
    std::int64_t sum_ = 0;
    std::int64_t max_change_ = 0;
};

}  // namespace couplize
