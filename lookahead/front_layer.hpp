#pragma once
#include <cstdint>
#include <limits>
#include <vector>

#include "common/qubits.hpp"
#include "lookahead/group_graph.hpp"
#include "lookahead/sabre_target.hpp"
#include "swapcore/order.hpp"

namespace couplize {

// The part a logical qubit plays in the current front layer. Outside it: front_index kNoGroup,
// partner itself and nb_two_qubit_gates 0, so that its front term is 0 without a branch.
struct QubitRole {
    static constexpr std::uint32_t kNoGroup = std::numeric_limits<std::uint32_t>::max();

    std::uint32_t front_index;  // index of its group in the front layer
    Logical partner;            // the other qubit of that group
    std::int32_t nb_two_qubit_gates;
};

// The front layer of a SABRE pass as the scan reads it: each logical qubit's role, the qubits of
// the front groups in order, and the front sum H_F (over front groups, two-qubit gate count x
// path length in qubits) of the current placement, which the router keeps up to date SWAP by
// SWAP through add_to_sum.
class FrontLayer {
public:
    // All `nb_logical` qubits without a role, no group.
    void reset(std::uint32_t nb_logical);

    // Rebuilds the layer from the front groups `front` of `groups` under `order`. Throws
    // std::invalid_argument when the qubits of a group lie in different components.
    void prepare(const GroupGraph& groups, const std::vector<int>& front, const Order& order,
                 const SabreTarget& target);

    const QubitRole& role(Logical q) const { return roles_[index(q)]; }
    // First and second qubit of each front group, by front index.
    const std::vector<Logical>& qubits() const { return qubits_; }
    std::size_t nb_groups() const { return qubits_.size() / 2; }

    std::int64_t sum() const { return sum_; }
    void add_to_sum(std::int64_t change) { sum_ += change; }
    // Two-qubit gates in the layer (at least 1 once prepared with a group).
    std::int64_t nb_gates() const { return nb_gates_; }
    // Bound of |change of the sum| by one SWAP: twice the largest group's gate count.
    std::int64_t max_change() const { return max_change_; }

    // The sum computed afresh for `order` (what sum() must equal; checked in debug builds).
    std::int64_t recompute_sum(const Order& order, const SabreTarget& target) const;

private:
    std::vector<QubitRole> roles_;  // by logical qubit
    std::vector<Logical> qubits_;
    std::int64_t nb_gates_ = 0;
    std::int64_t sum_ = 0;
    std::int64_t max_change_ = 0;
};

}  // namespace couplize
