#include "lookahead/lookahead_set.hpp"

#include <algorithm>

namespace couplize {

void LookaheadSet::reset(std::uint32_t nb_logical) {
    ahead_of_.resize(nb_logical);
    for (std::uint32_t q = 0; q < nb_logical; ++q) ahead_of_[q] = AheadOf::none(Logical{q});
    groups_.clear();
    firsts_.clear();
    seconds_.clear();
    nb_gates_of_.clear();
    nb_gates_ = 1;
    sum_ = max_change_ = 0;
}

void LookaheadSet::prepare(GroupGraph& groups, unsigned window, const Order& order,
                           const SabreTarget& target) {
    for (Logical q : firsts_) ahead_of_[index(q)] = AheadOf::none(q);
    for (Logical q : seconds_) ahead_of_[index(q)] = AheadOf::none(q);
    // In the walk's order: only sums are taken over these groups.
    groups.look_ahead(window, groups_);
    firsts_.clear();
    seconds_.clear();
    nb_gates_of_.clear();
    nb_gates_ = 0;
    sum_ = 0;
    max_change_ = 0;
    bool crowded = false;
    for (int v : groups_) {
        const GateGroup& g = groups.group(v);
        const Logical a = g.first, b = g.second;
        firsts_.push_back(a);
        seconds_.push_back(b);
        nb_gates_of_.push_back(g.nb_two_qubit_gates);
        nb_gates_ += g.nb_two_qubit_gates;
        sum_ += g.nb_two_qubit_gates *
                target.length(order.get_physical_qubit(a), order.get_physical_qubit(b));
        crowded |= !ahead_of_[index(a)].add(b, g.nb_two_qubit_gates);
        crowded |= !ahead_of_[index(b)].add(a, g.nb_two_qubit_gates);
        max_change_ =
            std::max({max_change_, 2 * ahead_of_[index(a)].total, 2 * ahead_of_[index(b)].total});
    }
    if (nb_gates_ == 0) nb_gates_ = 1;
    if (!crowded) return;
    const std::uint32_t n = static_cast<std::uint32_t>(ahead_of_.size());
    start_.assign(n + 1, 0);
    for (std::size_t e = 0; e < firsts_.size(); ++e) {
        ++start_[index(firsts_[e]) + 1];
        ++start_[index(seconds_[e]) + 1];
    }
    for (std::uint32_t q = 0; q < n; ++q) start_[q + 1] += start_[q];
    by_qubit_.resize(start_[n]);
    fill_.assign(start_.begin(), start_.end() - 1);
    for (std::uint32_t e = 0; e < firsts_.size(); ++e) {
        by_qubit_[fill_[index(firsts_[e])]++] = e;
        by_qubit_[fill_[index(seconds_[e])]++] = e;
    }
}

std::int64_t LookaheadSet::recompute_sum(const Order& order, const SabreTarget& target) const {
    std::int64_t sum = 0;
    for (std::size_t e = 0; e < firsts_.size(); ++e)
        sum += nb_gates_of_[e] * target.length(order.get_physical_qubit(firsts_[e]),
                                               order.get_physical_qubit(seconds_[e]));
    return sum;
}

}  // namespace couplize
