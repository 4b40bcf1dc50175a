#include "lookahead/sabre.hpp"

#include <algorithm>
#include <cassert>
#include <string>
#include <utility>

#include "lookahead/step_stream.hpp"

namespace couplize {

SabreRouter::SabreRouter(std::shared_ptr<const SabreTarget> target, SabreOptions options)
    : target_(std::move(target)), options_(options) {
    if (!target_) return;
    const std::uint64_t diameter = target_->target().diameter();
    release_after_ = options_.release_after
                         ? options_.release_after
                         : SabreOptions::kReleaseFactor * diameter + SabreOptions::kReleaseBase;
}

SabreRouter::SabreRouter(const std::shared_ptr<const RoutingTarget>& target, SabreOptions options)
    : SabreRouter(target ? std::make_shared<const SabreTarget>(target) : nullptr, options) {}

SabreResult SabreRouter::route(std::vector<std::vector<std::uint32_t>> gates,
                               std::uint32_t nb_logical,
                               const std::vector<std::uint32_t>& initial_order,
                               StepStream* stream) {
    stream_ = stream;
    std::uint32_t nb_physical = nb_logical;
    if (target_) {
        nb_physical = target_->nb_physical();
        if (nb_physical < nb_logical)
            throw std::invalid_argument("The topology has " + std::to_string(nb_physical) +
                                        " qubits, fewer than the " + std::to_string(nb_logical) +
                                        " qubits of the circuit");
    }
    order_.resize(nb_physical);
    if (!initial_order.empty()) {
        if (initial_order.size() != nb_physical)
            throw std::invalid_argument(
                "The initial order has " + std::to_string(initial_order.size()) +
                " entries, not one per physical qubit (" + std::to_string(nb_physical) + ")");
        if (!order_.assign(initial_order))
            throw std::invalid_argument("The initial order is not a permutation of 0.." +
                                        std::to_string(nb_physical - 1));
    }

    const std::size_t nb_gates = gates.size();
    GroupGraph groups(nb_logical, std::move(gates));
    SabreResult result;
    result.initial_order.resize(nb_physical);
    for (std::uint32_t q = 0; q < nb_physical; ++q)
        result.initial_order[q] = index(order_.get_physical_qubit(Logical{q}));
    result.steps.reserve(nb_gates + nb_gates / 2);
    for (int gate : groups.begin_gates())
        result.steps.push_back({static_cast<std::uint32_t>(gate),
                                order_.get_physical_qubit(Logical{groups.gate_lists()[gate][0]}),
                                SabreStep::kNone});
    result.nb_begin_gates = result.steps.size();
    if (stream_) {
        stream_->start(result.nb_begin_gates);
        stream_->publish(result.steps, true);
    }

    scan_.start(options_.random_ties, options_.tie_seed);
    if (!groups.front_layer().empty()) {
        if (!target_) throw MissingTopology();
        route_groups(groups, result);
    }
    if (stream_) stream_->publish(result.steps, true);
    result.final_layout = order_.get();
    return result;
}

void SabreRouter::route_groups(GroupGraph& groups, SabreResult& result) {
    const std::uint32_t n = order_.size();
    const bool extended = !options_.basic_heuristic;
    Decay decay(extended ? n : 0, options_.delta);
    front_.reset(n);
    ahead_.reset(n);
    moves_.reset(n, target_->row_width());
    factor_.assign(n, 1.0);
    std::fill(std::begin(recent_), std::end(recent_), Recent{});
    step_ = 0;
    front_groups_ = groups.front_layer();
    bool stale = true;  // the layer's tables must be rebuilt
    std::uint64_t swaps_since_progress = 0;

    auto executable = [&](Logical a, Logical b) {
        return target_->length(order_.get_physical_qubit(a), order_.get_physical_qubit(b)) == 2;
    };
    Logical swapped[2] = {Logical{0}, Logical{0}};
    while (!front_groups_.empty()) {
        if (stream_) stream_->publish(result.steps);
        executable_.clear();
        if (stale) {
            for (int v : front_groups_) {
                const GateGroup& g = groups.group(v);
                if (executable(g.first, g.second)) executable_.push_back(v);
            }
        } else {
            // Nothing was executable before the last SWAP: only the groups of its two qubits
            // may be now.
            std::uint32_t at[2] = {front_.role(swapped[0]).front_index,
                                   front_.role(swapped[1]).front_index};
            if (at[1] < at[0]) std::swap(at[0], at[1]);
            for (std::uint32_t i : at) {
                if (i == QubitRole::kNoGroup) continue;
                if (executable(front_.qubits()[2 * i], front_.qubits()[2 * i + 1]))
                    executable_.push_back(front_groups_[i]);
            }
        }
        if (!executable_.empty()) {
            for (int v : executable_) {
                for (std::uint32_t gate : *groups.pop_front_group(v)) {
                    const std::vector<std::uint32_t>& qubits = groups.gate_lists()[gate];
                    result.steps.push_back({gate, order_.get_physical_qubit(Logical{qubits[0]}),
                                            qubits.size() > 1
                                                ? order_.get_physical_qubit(Logical{qubits[1]})
                                                : SabreStep::kNone});
                }
            }
            if (extended) decay_step(decay, false);
            front_groups_ = groups.front_layer();
            stale = true;
            swaps_since_progress = 0;
            continue;
        }
        if (stale) {
            prepare_layer(groups);
            stale = false;
        }
        if (++swaps_since_progress > release_after_) {
            release(decay, result);
            stale = true;  // the sums were not kept: the next layer rebuilds them
            continue;
        }
        const SwapChoice best = scan_.best(view(), moves_, factor_, options_.weight);
        swapped[0] = best.x;
        swapped[1] = best.y;
        apply_swap(best.x, best.y, result);
        front_.add_to_sum(best.front_change);
        ahead_.add_to_sum(best.ahead_change);
        assert(sums_are_exact());
        if (extended) decay_step(decay, true, best.x, best.y);
    }
}

// Rebuilds the layer's tables: the part each qubit plays in the front layer, with the extended
// heuristic the look-ahead set, both sums of the current placement and the moves of every qubit
// that has a part.
void SabreRouter::prepare_layer(GroupGraph& groups) {
    front_.prepare(groups, front_groups_, order_, *target_);
    if (!options_.basic_heuristic) ahead_.prepare(groups, options_.window_size, order_, *target_);
    moves_.refresh_layer(view());
    assert(sums_are_exact());
}

bool SabreRouter::sums_are_exact() const {
    if (front_.sum() != front_.recompute_sum(order_, *target_)) return false;
    if (options_.basic_heuristic) return true;
    if (ahead_.sum() != ahead_.recompute_sum(order_, *target_)) return false;
    // The moves of the front qubits, the ones the scan reads.
    const LayerView v = view();
    for (Logical q : front_.qubits()) {
        const std::vector<Move> fresh = moves_.recompute(q, v);
        for (std::size_t k = 0; k < fresh.size(); ++k)
            if (fresh[k].front != moves_.of(q)[k].front || fresh[k].ahead != moves_.of(q)[k].ahead)
                return false;
    }
    return true;
}

// Exchanges the places of logical qubits x and y, keeps the moves exact, records the SWAP.
void SabreRouter::apply_swap(Logical x, Logical y, SabreResult& result) {
    const Physical px = order_.get_physical_qubit(x), py = order_.get_physical_qubit(y);
    order_.insert_physical_swap(px, py);
    const LayerView v = view();
    moves_.update_around(x, v);
    moves_.update_around(y, v);
    result.steps.push_back({SabreStep::kSwap, py, px});
    ++result.nb_swaps;
}

// The heuristic has circled: brings the front group whose qubits are closest (the first on ties)
// together along a shortest path, its two qubits stepping in turn towards each other, so that the
// next pass executes it, and forgets the decay. Front groups join qubits of one component
// (checked when the layer was prepared), so each step finds a neighbour one edge closer.
void SabreRouter::release(Decay& decay, SabreResult& result) {
    const SabreTarget& target = *target_;
    const std::vector<Logical>& qubits = front_.qubits();
    auto length = [&](Logical a, Logical b) {
        return target.length(order_.get_physical_qubit(a), order_.get_physical_qubit(b));
    };
    std::size_t first = 0;
    std::int64_t closest = std::numeric_limits<std::int64_t>::max();
    for (std::size_t i = 0; i < qubits.size(); i += 2) {
        const std::int64_t len = length(qubits[i], qubits[i + 1]);
        if (len < closest) {
            closest = len;
            first = i;
        }
    }
    Logical mover = qubits[first], other = qubits[first + 1];
    while (length(mover, other) > 2) {
        const Physical from = order_.get_physical_qubit(mover);
        const Physical to = order_.get_physical_qubit(other);
        const std::int64_t here = target.length(from, to);
        const Physical* around = target.neighbour_entries() + target.row(from);
        Physical next = from;
        for (std::uint32_t k = 0; k < target.degree(from); ++k) {
            if (target.length(around[k], to) == here - 1) {
                next = around[k];
                break;
            }
        }
        apply_swap(mover, order_.get_logical_qubit(next), result);
        std::swap(mover, other);
    }
    ++result.nb_releases;
    if (options_.basic_heuristic) return;
    for (std::uint32_t q = 0; q < order_.size(); ++q) decay.reset(q);
    std::fill(factor_.begin(), factor_.end(), 1.0);
    std::fill(std::begin(recent_), std::end(recent_), Recent{});
}

// One step of the decay: an inserted SWAP of x and y, or a pass that executed groups. Keeps
// factor_ equal to what decay.get gives: a factor changes only when its qubit is swapped and
// kThreshold steps later, so each step refreshes those qubits.
void SabreRouter::decay_step(Decay& decay, bool swapped, Logical x, Logical y) {
    constexpr std::uint32_t kPeriod = Decay::kThreshold;
    if (swapped) {
        decay.insert_swap(index(x), index(y));
        factor_[index(x)] = decay.get(index(x));
        factor_[index(y)] = decay.get(index(y));
    } else {
        decay.insert_gate();
    }
    recent_[step_ % kPeriod] = Recent{x, y, swapped};
    ++step_;
    // Swapped kThreshold - 1 steps before this one: due now.
    const Recent& due = recent_[step_ % kPeriod];
    if (due.swapped) {
        factor_[index(due.x)] = decay.get(index(due.x));
        factor_[index(due.y)] = decay.get(index(due.y));
    }
}

}  // namespace couplize
