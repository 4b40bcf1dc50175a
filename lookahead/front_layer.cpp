#include "lookahead/front_layer.hpp"

#include <algorithm>
#include <stdexcept>
#include <string>

namespace couplize {

void FrontLayer::reset(std::uint32_t nb_logical) {
    roles_.resize(nb_logical);
    for (std::uint32_t q = 0; q < nb_logical; ++q)
        roles_[q] = QubitRole{QubitRole::kNoGroup, Logical{q}, 0};
    qubits_.clear();
    nb_gates_ = sum_ = max_change_ = 0;
}

void FrontLayer::prepare(const GroupGraph& groups, const std::vector<int>& front,
                         const Order& order, const SabreTarget& target) {
    for (Logical q : qubits_) roles_[index(q)] = QubitRole{QubitRole::kNoGroup, q, 0};
    qubits_.clear();
    nb_gates_ = 0;
    sum_ = 0;
    std::int64_t max_gates = 0;
    for (std::size_t i = 0; i < front.size(); ++i) {
        const GateGroup& g = groups.group(front[i]);
        const Logical a = g.first, b = g.second;
        const Physical pa = order.get_physical_qubit(a), pb = order.get_physical_qubit(b);
        const std::int64_t length = target.length(pa, pb);
        if (length == 0)
            throw std::invalid_argument(
                "Qubits " + std::to_string(index(a)) + " and " + std::to_string(index(b)) +
                " of a two-qubit gate cannot be brought together: their physical qubits " +
                std::to_string(index(pa)) + " and " + std::to_string(index(pb)) +
                " are not connected in the topology");
        const std::uint32_t front_index = static_cast<std::uint32_t>(i);
        roles_[index(a)] = QubitRole{front_index, b, g.nb_two_qubit_gates};
        roles_[index(b)] = QubitRole{front_index, a, g.nb_two_qubit_gates};
        qubits_.push_back(a);
        qubits_.push_back(b);
        nb_gates_ += g.nb_two_qubit_gates;
        sum_ += g.nb_two_qubit_gates * length;
        max_gates = std::max<std::int64_t>(max_gates, g.nb_two_qubit_gates);
    }
    max_change_ = 2 * max_gates;
}

std::int64_t FrontLayer::recompute_sum(const Order& order, const SabreTarget& target) const {
    std::int64_t sum = 0;
    for (std::size_t i = 0; i < qubits_.size(); i += 2)
        sum += roles_[index(qubits_[i])].nb_two_qubit_gates *
               target.length(order.get_physical_qubit(qubits_[i]),
                             order.get_physical_qubit(qubits_[i + 1]));
    return sum;
}

}  // namespace couplize
