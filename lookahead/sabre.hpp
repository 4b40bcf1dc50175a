#pragma once
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <numeric>
#include <random>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "lookahead/decay.hpp"
#include "lookahead/group_graph.hpp"
#include "swapcore/qubit_graph.hpp"

namespace couplize {

// Exchanges the physical places of logical qubits i and j in `order` (by logical qubit).
inline void swap(std::vector<std::uint32_t>& order, std::uint32_t i, std::uint32_t j) {
    std::swap(order[i], order[j]);
}

struct SabreOptions {
    bool basic_heuristic = false;  // front term only; otherwise look-ahead and decay too
    double weight = 0.5;           // weight of the look-ahead term
    double delta = 0.001;          // decay increment of a swapped qubit
    unsigned window_size = 1;      // look-ahead depth in DAG edges below the front layer
    // Consecutive SWAPs without executing a group after which the heuristic is set aside: the
    // front group whose qubits are closest is brought together along a shortest path, executed,
    // and the decay reset. 0 means the default, kReleaseFactor x the topology's diameter (in
    // edges) plus kReleaseBase: above the longest run measured on routings that make progress,
    // far below a circling heuristic's endless run.
    std::uint64_t release_after = 0;
    // Ties between candidates of equal score go to a random one (reservoir draw from a generator
    // seeded with tie_seed) instead of the first.
    bool random_ties = false;
    std::uint64_t tie_seed = 0;

    static constexpr std::uint64_t kReleaseFactor = 3;
    static constexpr std::uint64_t kReleaseBase = 10;
};

// One output operation: an input gate with the physical qubits it acts on when executed, or an
// inserted SWAP between two physical qubits.
struct SabreStep {
    static constexpr std::uint32_t kSwap = std::numeric_limits<std::uint32_t>::max();
    static constexpr std::uint32_t kNone = std::numeric_limits<std::uint32_t>::max();

    std::uint32_t gate;    // index of the input gate, or kSwap
    std::uint32_t first;   // physical qubit
    std::uint32_t second;  // physical qubit, kNone for a one-qubit gate

    bool is_swap() const { return gate == kSwap; }
};

struct SabreResult {
    // Begin gates first (on their own qubits, the placement being the identity then), then the
    // groups' gates in execution order interleaved with the SWAPs.
    std::vector<SabreStep> steps;
    std::size_t nb_begin_gates = 0;
    std::size_t nb_swaps = 0;
    std::size_t nb_releases = 0;  // times the heuristic was set aside (see release_after)
    unsigned trial = 0;           // the trial kept, when several were run (SabreTrials)
    // Entry q: the physical qubit logical qubit q starts on (the identity unless given).
    std::vector<std::uint32_t> initial_order;
    // Entry p: the logical qubit held by physical qubit p at the end. Covers every physical qubit
    // of the topology (qubits beyond the circuit's hold idle logical qubits of the same index at
    // the start).
    std::vector<std::uint32_t> final_layout;
};

// Thrown when two-qubit work needs a topology and none was given.
class MissingTopology : public std::logic_error {
public:
    MissingTopology() : std::logic_error("No topology given: set a graph before routing") {}
};

// SABRE routing: starting from the identity placement, execute every front group whose qubits
// are neighbours; when none is, score every SWAP touching a qubit of a front group and apply the
// lowest (the first on ties, or a random one with random_ties). Candidates come group by group in
// front-layer order, first qubit then second, neighbours in the topology's order. Score of a trial
// placement: H_F, the sum over front groups of (two-qubit gate count x path length in qubits); with
// the extended heuristic, max(decay of both swapped qubits) x (H_F / front gate count + weight x
// look-ahead sum / its gate count).
//
// Each candidate is scored incrementally from the sums of the current placement, which are kept
// up to date SWAP by SWAP: only the terms of groups on the two swapped qubits change. Every
// qubit with a part in the layer keeps a table of its moves (the changes of both sums when it
// alone moves to each neighbouring place), refreshed when it or a qubit it shares a group with
// moves, so a candidate costs two table reads and no distance lookup. The score's two terms are
// tabled per pass over their small range of changes, by the very same expressions, so ties
// come out exactly as in a direct evaluation. Distances come from the topology's all-pairs
// table. The router keeps its scratch buffers between calls; it touches no Python object.
class SabreRouter {
public:
    // Takes what it needs of the topology now (path lengths and neighbour lists), so that
    // routing never reads the graph: a caller may release its lock on the graph before `route`.
    // Costs O(n^2) for n physical qubits, plus the graph's all-pairs table if not built yet.
    SabreRouter(QubitGraph* graph, SabreOptions options)
        : has_topology_(graph != nullptr), options_(options) {
        if (!graph) return;
        topology_size_ = graph->get_nbqubits();
        const std::shared_ptr<const RoutingTarget> target = graph->routing_target();
        const std::vector<std::uint32_t>& dist = target->distances();
        lengths_.resize(dist.size());
        std::uint32_t diameter = 0;
        for (std::size_t k = 0; k < dist.size(); ++k) {
            lengths_[k] = dist[k] == kUnreachable ? 0 : static_cast<std::int32_t>(dist[k]) + 1;
            if (dist[k] != kUnreachable) diameter = std::max(diameter, dist[k]);
        }
        release_after_ = options_.release_after
                             ? options_.release_after
                             : SabreOptions::kReleaseFactor * diameter + SabreOptions::kReleaseBase;
        for (std::uint32_t p = 0; p < topology_size_; ++p)
            stride_ = std::max(stride_, static_cast<std::uint32_t>(graph->neighbours(p).size()));
        // Each place gets `stride_` neighbour entries, the first degree_[p] of them its
        // neighbours, the rest padding holding the place itself (a move there changes nothing).
        neighbours_.resize(static_cast<std::size_t>(stride_) * topology_size_);
        degree_.resize(topology_size_);
        for (std::uint32_t p = 0; p < topology_size_; ++p) {
            const std::vector<std::uint32_t>& around = graph->neighbours(p);
            std::uint32_t* row = neighbours_.data() + static_cast<std::size_t>(p) * stride_;
            std::fill(std::copy(around.begin(), around.end(), row), row + stride_, p);
            degree_[p] = static_cast<std::uint32_t>(around.size());
        }
        build_back_index(*graph);
    }

    // `gates[i]` lists the qubits of operation i. `initial_order`, when not empty, gives the
    // physical qubit of every logical qubit at the start, one entry per physical qubit of the
    // topology (logical qubits beyond the circuit's are idle). Throws std::invalid_argument for
    // a bad gate (see GroupGraph), a topology smaller than the circuit, an initial order that is
    // not such a permutation, or a front group whose qubits lie in different components of the
    // topology (before any SWAP on them); MissingTopology when two-qubit gates exist and no
    // graph was given. Never loops without end: see release_after.
    SabreResult route(std::vector<std::vector<std::uint32_t>> gates, std::uint32_t nbqbits,
                      const std::vector<std::uint32_t>& initial_order = {}) {
        std::uint32_t n = nbqbits;
        if (has_topology_) {
            n = topology_size_;
            if (n < nbqbits)
                throw std::invalid_argument("The topology has " + std::to_string(n) +
                                            " qubits, fewer than the " + std::to_string(nbqbits) +
                                            " qubits of the circuit");
        }
        n_ = n;
        order_.resize(n);
        std::iota(order_.begin(), order_.end(), 0u);
        if (!initial_order.empty()) {
            check_order(initial_order, n);
            order_ = initial_order;
        }
        where_.resize(n);
        for (std::uint32_t q = 0; q < n; ++q) where_[order_[q]] = q;

        const std::size_t nb_gates = gates.size();
        GroupGraph groups(nbqbits, std::move(gates));
        SabreResult result;
        result.initial_order = order_;
        result.steps.reserve(nb_gates + nb_gates / 2);
        for (int index : groups.begin_gates())
            result.steps.push_back({static_cast<std::uint32_t>(index),
                                    order_[groups.gate_lists()[index][0]], SabreStep::kNone});
        result.nb_begin_gates = result.steps.size();

        rng_.seed(options_.tie_seed);
        if (!groups.front_layer().empty()) {
            if (!has_topology_) throw MissingTopology();
            route_groups(groups, result);
        }
        result.final_layout = where_;
        return result;
    }

    // The consecutive SWAPs without progress after which the heuristic is set aside.
    std::uint64_t release_after() const { return release_after_; }

    // How later routes break ties: the first candidate, or random draws seeded with `seed`.
    void set_ties(bool random, std::uint64_t seed) {
        options_.random_ties = random;
        options_.tie_seed = seed;
    }

    // Look-ahead depth and heuristic of later routes.
    void set_window(unsigned window_size) { options_.window_size = window_size; }
    void set_basic_heuristic(bool basic) { options_.basic_heuristic = basic; }

private:
    static constexpr std::uint32_t kUnreachable = QubitGraph::unreachable;

    static void check_order(const std::vector<std::uint32_t>& order, std::uint32_t n) {
        if (order.size() != n)
            throw std::invalid_argument("The initial order has " + std::to_string(order.size()) +
                                        " entries, not one per physical qubit (" +
                                        std::to_string(n) + ")");
        std::vector<char> seen(n, 0);
        for (std::uint32_t p : order) {
            if (p >= n || seen[p])
                throw std::invalid_argument("The initial order is not a permutation of 0.." +
                                            std::to_string(n - 1));
            seen[p] = 1;
        }
    }
    static constexpr std::uint32_t kNoSlot = std::numeric_limits<std::uint32_t>::max();

    // The part a logical qubit plays in the current front layer; outside it, slot kNoSlot,
    // partner itself and card 0, so that its front term is 0 without a branch.
    struct QubitRole {
        std::uint32_t slot;     // index of its group in front_
        std::uint32_t partner;  // the other qubit of that group
        std::int32_t card;      // two-qubit gate count of that group
    };

    // The look-ahead groups of a logical qubit, their other qubit and gate count, when it is in
    // at most two; unused entries hold the qubit itself and count 0.
    struct AheadOf {
        std::uint32_t other[2];
        std::int32_t card[2];
        std::uint32_t count;  // look-ahead groups on the qubit, may exceed 2
        std::int64_t total;   // their gate count, which bounds the change of the look-ahead sum

        // Returns false once the qubit is in more than two groups.
        bool add(std::uint32_t q, std::int32_t c) {
            if (count < 2) {
                other[count] = q;
                card[count] = c;
            }
            total += c;
            return ++count <= 2;
        }
    };

    // What the moves of a logical qubit were computed from (see basis_of).
    struct MoveBasis {
        std::uint32_t partner;
        std::int32_t card;
        std::uint32_t other[2];
        std::int32_t ahead_card[2];
        std::uint32_t count;

        static MoveBasis none(std::uint32_t q) { return MoveBasis{q, 0, {q, q}, {0, 0}, 0}; }
        bool operator==(const MoveBasis&) const = default;
    };

    // Changes of the front and look-ahead sums when one logical qubit moves to a neighbouring
    // place while all others stay.
    struct Move {
        std::int64_t front = 0;
        std::int64_t ahead = 0;
    };

    // The SWAP of one decay step, if any.
    struct Recent {
        std::uint32_t x = 0, y = 0;
        bool swapped = false;
    };

    // A chosen SWAP of logical qubits and the changes it makes to both sums.
    struct Choice {
        std::uint32_t x, y;
        std::int64_t front_change, ahead_change;
    };

    // Fills back_: for the neighbour entry k of place p, holding place q, an entry of q that
    // holds p (padding entries point to themselves). O(neighbour entries).
    void build_back_index(const QubitGraph& graph) {
        const std::uint32_t n = topology_size_;
        back_.resize(neighbours_.size());
        // Entries (q, k') grouped by the place p = neighbours(q)[k'] they hold.
        std::vector<std::uint32_t> start(n + 1, 0);
        for (std::uint32_t q = 0; q < n; ++q)
            for (std::uint32_t p : graph.neighbours(q)) ++start[p + 1];
        for (std::uint32_t p = 0; p < n; ++p) start[p + 1] += start[p];
        std::vector<std::uint32_t> fill(start.begin(), start.end() - 1), from(start[n]),
            index(start[n]);
        for (std::uint32_t q = 0; q < n; ++q) {
            const std::vector<std::uint32_t>& around = graph.neighbours(q);
            for (std::uint32_t k = 0; k < around.size(); ++k) {
                from[fill[around[k]]] = q;
                index[fill[around[k]]++] = k;
            }
        }
        std::vector<std::uint32_t> at(n, 0);
        for (std::uint32_t p = 0; p < n; ++p) {
            for (std::uint32_t e = start[p]; e < start[p + 1]; ++e) at[from[e]] = index[e];
            const std::size_t row = static_cast<std::size_t>(p) * stride_;
            const std::size_t degree = graph.neighbours(p).size();
            for (std::uint32_t k = 0; k < stride_; ++k)
                back_[row + k] = k < degree ? at[neighbours_[row + k]] : k;
        }
    }

    // Path length in qubits between two physical qubits, 0 when no path joins them.
    std::int64_t length(std::uint32_t p, std::uint32_t q) const {
        return lengths_[static_cast<std::size_t>(p) * n_ + q];
    }

    void route_groups(GroupGraph& groups, SabreResult& result) {
        const bool extended = !options_.basic_heuristic;
        Decay decay(extended ? n_ : 0, options_.delta);
        role_.resize(n_);
        ahead_of_.resize(n_);
        for (std::uint32_t q = 0; q < n_; ++q) {
            role_[q] = QubitRole{kNoSlot, q, 0};
            ahead_of_[q] = AheadOf{{q, q}, {0, 0}, 0, 0};
        }
        moves_.assign(static_cast<std::size_t>(n_) * stride_, Move{});
        factor_.assign(n_, 1.0);
        std::fill(std::begin(recent_), std::end(recent_), Recent{});
        step_ = 0;
        active_.assign(n_, 0);
        active_list_.clear();
        basis_.resize(n_);
        for (std::uint32_t q = 0; q < n_; ++q) basis_[q] = MoveBasis::none(q);
        visited_.assign(n_, 0);
        layer_ = 0;
        front_qubits_.clear();
        ahead_a_.clear();
        ahead_b_.clear();
        front_ = groups.front_layer();
        bool stale = true;  // front-layer tables must be rebuilt
        std::uint64_t swaps_since_progress = 0;

        std::uint32_t swapped[2] = {0, 0};
        while (!front_.empty()) {
            executable_.clear();
            if (stale) {
                for (int v : front_) {
                    const GroupGraph::GroupPair& g = groups.pair(v);
                    if (length(order_[g.first], order_[g.second]) == 2) executable_.push_back(v);
                }
            } else {
                // Nothing was executable before the last SWAP: only the groups of its two qubits
                // may be now.
                std::uint32_t slots[2] = {role_[swapped[0]].slot, role_[swapped[1]].slot};
                if (slots[1] < slots[0]) std::swap(slots[0], slots[1]);
                for (std::uint32_t slot : slots) {
                    if (slot == kNoSlot) continue;
                    const std::uint32_t a = front_qubits_[2 * slot],
                                        b = front_qubits_[2 * slot + 1];
                    if (length(order_[a], order_[b]) == 2) executable_.push_back(front_[slot]);
                }
            }
            if (!executable_.empty()) {
                for (int v : executable_) {
                    const GateGroup* g = groups.pop_front_group(v);
                    for (std::uint32_t index : g->gates) {
                        const std::vector<std::uint32_t>& qubits = groups.gate_lists()[index];
                        result.steps.push_back(
                            {index, order_[qubits[0]],
                             qubits.size() > 1 ? order_[qubits[1]] : SabreStep::kNone});
                    }
                }
                if (extended) decay_step(decay, false);
                front_ = groups.front_layer();
                stale = true;
                swaps_since_progress = 0;
                continue;
            }
            if (stale) {
                prepare_front(groups, extended);
                stale = false;
            }
            if (++swaps_since_progress > release_after_) {
                release(decay, extended, result);
                stale = true;  // the sums were not kept: the next layer rebuilds them
                continue;
            }
            const Choice best = extended ? best_swap<true>() : best_swap<false>();
            const std::uint32_t x = best.x, y = best.y;
            swapped[0] = x;
            swapped[1] = y;
            apply_swap(x, y, extended, result);
            front_sum_ += best.front_change;
            ahead_sum_ += best.ahead_change;
            if (extended) decay_step(decay, true, x, y);
        }
    }

    // Exchanges the places of logical qubits x and y, keeps the moves exact, records the SWAP.
    void apply_swap(std::uint32_t x, std::uint32_t y, bool extended, SabreResult& result) {
        swap(order_, x, y);
        where_[order_[x]] = x;
        where_[order_[y]] = y;
        update_moves_around(x, extended);
        update_moves_around(y, extended);
        result.steps.push_back({SabreStep::kSwap, order_[x], order_[y]});
        ++result.nb_swaps;
    }

    // The heuristic has circled: brings the front group whose qubits are closest (the first on
    // ties) together along a shortest path, its two qubits stepping in turn towards each other,
    // so that the next pass executes it, and forgets the decay. Front groups join qubits of one
    // component (checked when the layer was prepared), so each step finds a neighbour one edge
    // closer.
    void release(Decay& decay, bool extended, SabreResult& result) {
        std::size_t slot = 0;
        std::int64_t closest = std::numeric_limits<std::int64_t>::max();
        for (std::size_t i = 0; i < front_qubits_.size(); i += 2) {
            const std::int64_t len = length(order_[front_qubits_[i]], order_[front_qubits_[i + 1]]);
            if (len < closest) {
                closest = len;
                slot = i;
            }
        }
        std::uint32_t mover = front_qubits_[slot], other = front_qubits_[slot + 1];
        while (length(order_[mover], order_[other]) > 2) {
            const std::uint32_t from = order_[mover], target = order_[other];
            const std::int64_t here = length(from, target);
            const std::uint32_t* around = neighbours_.data() + std::size_t{from} * stride_;
            std::uint32_t next = from;
            for (std::uint32_t k = 0; k < degree_[from]; ++k) {
                if (length(around[k], target) == here - 1) {
                    next = around[k];
                    break;
                }
            }
            apply_swap(mover, where_[next], extended, result);
            std::swap(mover, other);
        }
        ++result.nb_releases;
        if (!extended) return;
        for (std::uint32_t q = 0; q < n_; ++q) decay.reset(q);
        std::fill(factor_.begin(), factor_.end(), 1.0);
        std::fill(std::begin(recent_), std::end(recent_), Recent{});
    }

    // One step of the decay: an inserted SWAP of x and y, or a pass that executed groups.
    // Keeps factor_ equal to what decay.get gives: a factor changes only when its qubit is
    // swapped and kThreshold steps later, so each step refreshes those qubits.
    void decay_step(Decay& decay, bool swapped, std::uint32_t x = 0, std::uint32_t y = 0) {
        constexpr std::uint32_t period = Decay::kThreshold;
        if (swapped) {
            decay.insert_swap(x, y);
            factor_[x] = decay.get(x);
            factor_[y] = decay.get(y);
        } else {
            decay.insert_gate();
        }
        recent_[step_ % period] = Recent{x, y, swapped};
        ++step_;
        // Swapped kThreshold - 1 steps before this one: due now.
        const Recent& due = recent_[step_ % period];
        if (due.swapped) {
            factor_[due.x] = decay.get(due.x);
            factor_[due.y] = decay.get(due.y);
        }
    }

    // Rebuilds the per-front-layer tables: the part each qubit plays in the front layer, with
    // the extended heuristic the look-ahead groups by qubit, both sums of the current placement
    // and the moves of every qubit that has a part.
    void prepare_front(GroupGraph& groups, bool extended) {
        for (std::uint32_t q : front_qubits_) role_[q] = QubitRole{kNoSlot, q, 0};
        front_qubits_.clear();
        nb_gates_front_ = 0;
        front_sum_ = 0;
        std::int64_t max_card = 0;
        for (std::size_t i = 0; i < front_.size(); ++i) {
            const GroupGraph::GroupPair& g = groups.pair(front_[i]);
            const std::uint32_t a = g.first, b = g.second;
            const std::int64_t len = length(order_[a], order_[b]);
            if (len == 0)
                throw std::invalid_argument(
                    "Qubits " + std::to_string(a) + " and " + std::to_string(b) +
                    " of a two-qubit gate cannot be brought together: their physical qubits " +
                    std::to_string(order_[a]) + " and " + std::to_string(order_[b]) +
                    " are not connected in the topology");
            const std::uint32_t slot = static_cast<std::uint32_t>(i);
            role_[a] = QubitRole{slot, b, g.card};
            role_[b] = QubitRole{slot, a, g.card};
            front_qubits_.push_back(a);
            front_qubits_.push_back(b);
            nb_gates_front_ += g.card;
            front_sum_ += g.card * len;
            max_card = std::max<std::int64_t>(max_card, g.card);
        }
        max_front_change_ = 2 * max_card;
        if (extended) prepare_ahead(groups);

        // Moves depend on the qubit's part (its basis) and on the places of the qubits named in
        // it. No SWAP comes between two layers, and during a layer every SWAP refreshes the
        // moves of the qubits whose basis names a swapped qubit: moves whose basis is unchanged
        // from the last layer are still exact. Qubits without a part have moves 0.
        previous_active_.swap(active_list_);
        active_list_.clear();
        for (std::uint32_t q : previous_active_) active_[q] = 0;
        ++layer_;
        auto refresh = [&](std::uint32_t q) {
            if (visited_[q] == layer_) return;
            visited_[q] = layer_;
            const MoveBasis basis = basis_of(q);
            if (basis.count > 2 || !(basis == basis_[q])) {
                basis_[q] = basis;
                update_moves(q, extended);
            }
            if (basis.card == 0 && basis.count == 0) return;  // no part
            active_[q] = 1;
            active_list_.push_back(q);
        };
        for (std::uint32_t q : previous_active_) refresh(q);
        for (std::uint32_t q : front_qubits_) refresh(q);
        for (std::uint32_t q : ahead_a_) refresh(q);
        for (std::uint32_t q : ahead_b_) refresh(q);
    }

    // What the moves of q read, apart from places: its front partner and group size, and its
    // look-ahead partners and group sizes (beyond two, the compressed lists, always re-read).
    MoveBasis basis_of(std::uint32_t q) const {
        const QubitRole& role = role_[q];
        const AheadOf& of = ahead_of_[q];
        return MoveBasis{role.partner,
                         role.card,
                         {of.other[0], of.other[1]},
                         {of.card[0], of.card[1]},
                         of.count};
    }

    // The look-ahead groups of the layer: their list, their sum and gate count, and their
    // qubits' AheadOf entries (plus compressed lists when a qubit is in more than two).
    void prepare_ahead(GroupGraph& groups) {
        for (std::uint32_t q : ahead_a_) ahead_of_[q] = AheadOf{{q, q}, {0, 0}, 0, 0};
        for (std::uint32_t q : ahead_b_) ahead_of_[q] = AheadOf{{q, q}, {0, 0}, 0, 0};
        // In the walk's order: only sums are taken over these groups.
        groups.look_ahead(options_.window_size, ahead_);
        ahead_a_.clear();
        ahead_b_.clear();
        ahead_card_.clear();
        nb_gates_ahead_ = 0;
        ahead_sum_ = 0;
        max_ahead_change_ = 0;
        bool crowded = false;  // a qubit is in more than two look-ahead groups
        for (int v : ahead_) {
            const GroupGraph::GroupPair& g = groups.pair(v);
            const std::uint32_t a = g.first, b = g.second;
            ahead_a_.push_back(a);
            ahead_b_.push_back(b);
            ahead_card_.push_back(g.card);
            nb_gates_ahead_ += g.card;
            ahead_sum_ += g.card * length(order_[a], order_[b]);
            crowded |= !ahead_of_[a].add(b, g.card);
            crowded |= !ahead_of_[b].add(a, g.card);
            max_ahead_change_ =
                std::max({max_ahead_change_, 2 * ahead_of_[a].total, 2 * ahead_of_[b].total});
        }
        if (nb_gates_ahead_ == 0) nb_gates_ahead_ = 1;
        if (!crowded) return;
        ahead_start_.assign(n_ + 1, 0);
        for (std::size_t e = 0; e < ahead_a_.size(); ++e) {
            ++ahead_start_[ahead_a_[e] + 1];
            ++ahead_start_[ahead_b_[e] + 1];
        }
        for (std::uint32_t q = 0; q < n_; ++q) ahead_start_[q + 1] += ahead_start_[q];
        ahead_by_qubit_.resize(ahead_start_[n_]);
        fill_.assign(ahead_start_.begin(), ahead_start_.end() - 1);
        for (std::uint32_t e = 0; e < ahead_a_.size(); ++e) {
            ahead_by_qubit_[fill_[ahead_a_[e]]++] = e;
            ahead_by_qubit_[fill_[ahead_b_[e]]++] = e;
        }
    }

    // Recomputes the moves of logical qubit q to each neighbour of its place. Front groups join
    // qubits of one component, and a neighbour is in it too, so the front change is a plain
    // distance difference (the table is symmetric); so is a look-ahead change, both lengths being
    // 0 when the other qubit is out of reach.
    void update_moves(std::uint32_t q, bool extended) {
        const std::uint32_t from = order_[q];
        const std::size_t n = n_;
        const std::int32_t* partner = lengths_.data() + order_[role_[q].partner] * n;
        const std::int64_t card = role_[q].card;
        const std::uint32_t* around = neighbours_.data() + std::size_t{from} * stride_;
        Move* moves = moves_.data() + std::size_t{q} * stride_;
        for (std::uint32_t k = 0; k < stride_; ++k)
            moves[k] =
                Move{card * (static_cast<std::int64_t>(partner[around[k]]) - partner[from]), 0};
        if (!extended) return;
        auto add_ahead = [&](std::uint32_t other, std::int64_t c) {
            const std::int32_t* row = lengths_.data() + order_[other] * n;
            for (std::uint32_t k = 0; k < stride_; ++k)
                moves[k].ahead += c * (static_cast<std::int64_t>(row[around[k]]) - row[from]);
        };
        const AheadOf& of = ahead_of_[q];
        if (of.count <= 2) {
            for (std::uint32_t i = 0; i < of.count; ++i) add_ahead(of.other[i], of.card[i]);
            return;
        }
        for (std::uint32_t k = ahead_start_[q]; k < ahead_start_[q + 1]; ++k) {
            const std::uint32_t e = ahead_by_qubit_[k];
            add_ahead(ahead_a_[e] == q ? ahead_b_[e] : ahead_a_[e], ahead_card_[e]);
        }
    }

    // After q moved: recomputes the moves of q and of the qubits whose moves read its place,
    // its front partner and its look-ahead partners.
    void update_moves_around(std::uint32_t q, bool extended) {
        if (!active_[q]) return;  // no part, no partner
        update_moves(q, extended);
        if (role_[q].slot != kNoSlot) update_moves(role_[q].partner, extended);
        if (!extended) return;
        const AheadOf& of = ahead_of_[q];
        if (of.count <= 2) {
            for (std::uint32_t i = 0; i < of.count; ++i) update_moves(of.other[i], extended);
            return;
        }
        for (std::uint32_t k = ahead_start_[q]; k < ahead_start_[q + 1]; ++k) {
            const std::uint32_t e = ahead_by_qubit_[k];
            update_moves(ahead_a_[e] == q ? ahead_b_[e] : ahead_a_[e], extended);
        }
    }

    // Gate count of the look-ahead groups holding both x and y.
    std::int64_t shared_ahead(std::uint32_t x, std::uint32_t y) const {
        const AheadOf& of = ahead_of_[x];
        if (of.count <= 2)
            return (of.other[0] == y ? of.card[0] : 0) + (of.other[1] == y ? of.card[1] : 0);
        std::int64_t shared = 0;
        for (std::uint32_t k = ahead_start_[x]; k < ahead_start_[x + 1]; ++k) {
            const std::uint32_t e = ahead_by_qubit_[k];
            if ((ahead_a_[e] == x ? ahead_b_[e] : ahead_a_[e]) == y) shared += ahead_card_[e];
        }
        return shared;
    }

    // The best SWAP of a swap pass (see scan); the terms of the score come from tables when
    // their ranges of changes are narrow, as they are unless groups hold many gates.
    template <bool Extended>
    Choice best_swap() {
        const PassTerms terms{front_sum_, ahead_sum_, static_cast<double>(nb_gates_front_),
                              static_cast<double>(nb_gates_ahead_), options_.weight};
        if constexpr (!Extended) {
            return scan<false, false>(terms);
        } else {
            const bool tabled = front_terms_.fill(max_front_change_, [&](std::int64_t c) {
                return terms.front(c);
            }) && ahead_terms_.fill(max_ahead_change_, [&](std::int64_t c) {
                return terms.ahead(c);
            });
            return tabled ? scan<true, true>(terms) : scan<true, false>(terms);
        }
    }

    // The two terms of the score in a pass, as functions of the changes of their sums.
    struct PassTerms {
        std::int64_t front_sum, ahead_sum;
        double nb_front, nb_ahead, weight;

        double front(std::int64_t change) const {
            return static_cast<double>(front_sum + change) / nb_front;
        }
        double ahead(std::int64_t change) const {
            return weight * static_cast<double>(ahead_sum + change) / nb_ahead;
        }
    };

    // What the scan reads of front qubit number j (in front_qubits_ order).
    struct FrontQubit {
        std::uint32_t x, slot, degree;
        std::size_t row;  // of its place in neighbours_ and back_
        const Move* moves;
        double decay;
        const AheadOf* ahead;
    };

    // Inlined: called once per front qubit and SWAP, its call cost shows in the scan.
    [[gnu::always_inline]] FrontQubit front_qubit(std::size_t j) const {
        const std::uint32_t x = front_qubits_[j];
        const std::uint32_t px = order_[x];
        return FrontQubit{x,
                          static_cast<std::uint32_t>(j / 2),
                          degree_[px],
                          std::size_t{px} * stride_,
                          moves_.data() + std::size_t{x} * stride_,
                          factor_[x],
                          &ahead_of_[x]};
    }

    // (y, x) was already scored from an earlier front group: the exchange and its score are
    // the same, and ties keep the earlier candidate. Qubits outside the front layer have slot
    // kNoSlot.
    bool skipped(const FrontQubit& f, std::uint32_t y) const { return role_[y].slot < f.slot; }

    // Score of candidate (f.x, y), y at neighbour entry k, and its changes of both sums. The
    // change of a SWAP is the move of x to y's place plus the move of y to x's place: no front
    // group holds both (they are neighbours, and no front group is executable), and a
    // look-ahead group holding both keeps its length where the two moves count -card each.
    template <bool Extended, bool Tabled>
    auto score(const FrontQubit& f, std::uint32_t y, std::uint32_t k, const PassTerms& terms,
               std::int64_t& front_change, std::int64_t& ahead_change) const {
        const Move& move_y = moves_[std::size_t{y} * stride_ + back_[f.row + k]];
        front_change = f.moves[k].front + move_y.front;
        if constexpr (!Extended) {
            ahead_change = 0;
            return terms.front_sum + front_change;
        } else {
            const AheadOf& ax = *f.ahead;
            const std::int64_t shared = ax.count <= 2 ? (ax.other[0] == y ? ax.card[0] : 0) +
                                                            (ax.other[1] == y ? ax.card[1] : 0)
                                                      : shared_ahead(f.x, y);
            ahead_change = f.moves[k].ahead + move_y.ahead + 2 * shared;
            const double factor = std::max(f.decay, factor_[y]);
            if constexpr (Tabled)
                return factor * (front_terms_[front_change] + ahead_terms_[ahead_change]);
            else
                return factor * (terms.front(front_change) + terms.ahead(ahead_change));
        }
    }

    // Scores the candidates in order and returns the first of the lowest, with its changes of
    // both sums. The first candidate not skipped sets the best; a later one replaces it only
    // with a strictly lower score. A skipped candidate is scored all the same (its changes are
    // in range too), which saves branches.
    template <bool Extended, bool Tabled>
    Choice scan(const PassTerms& terms) {
        using Score = decltype(score<Extended, Tabled>(std::declval<const FrontQubit&>(), 0, 0,
                                                       terms, std::declval<std::int64_t&>(),
                                                       std::declval<std::int64_t&>()));
        const std::uint32_t* neighbours = neighbours_.data();
        const std::uint32_t* where = where_.data();
        Choice best{};
        Score best_score{};
        std::int64_t front_change = 0, ahead_change = 0;
        bool found = false;
        for (std::size_t j = 0; j < front_qubits_.size() && !found; ++j) {
            const FrontQubit f = front_qubit(j);
            for (std::uint32_t k = 0; k < f.degree && !found; ++k) {
                const std::uint32_t y = where[neighbours[f.row + k]];
                if (skipped(f, y)) continue;
                best_score = score<Extended, Tabled>(f, y, k, terms, front_change, ahead_change);
                best = Choice{f.x, y, front_change, ahead_change};
                found = true;
            }
        }
        if (!found) throw std::invalid_argument("SABRE routing found no SWAP to try");
        const bool random_ties = options_.random_ties;
        std::uint64_t ties = 0;  // candidates seen with the best score (random ties only)
        for (std::size_t j = 0; j < front_qubits_.size(); ++j) {
            const FrontQubit f = front_qubit(j);
            for (std::uint32_t k = 0; k < f.degree; ++k) {
                const std::uint32_t y = where[neighbours[f.row + k]];
                const bool skip = skipped(f, y);
                const Score s = score<Extended, Tabled>(f, y, k, terms, front_change, ahead_change);
                if (!skip && s < best_score) {
                    best_score = s;
                    best = Choice{f.x, y, front_change, ahead_change};
                    ties = 1;
                } else if (random_ties && !skip && s == best_score) {
                    // Each tied candidate is kept with the same probability: the k-th replaces
                    // the best when a draw modulo k is 0. The first found is scored again here
                    // and counts as the first tie, without a draw.
                    if (ties++ > 0 && rng_() % ties == 0)
                        best = Choice{f.x, y, front_change, ahead_change};
                }
            }
        }
        return best;
    }

    // Values of a term of the score for the changes -reach..reach of its sum, computed once per
    // pass when that range is narrow.
    class TermTable {
    public:
        // Returns false, filling nothing, when the range is too wide for the table.
        template <typename F>
        bool fill(std::int64_t reach, F&& compute) {
            if (reach > kMaxReach) return false;
            for (std::int64_t c = -reach; c <= reach; ++c) values_[c + kMaxReach] = compute(c);
            return true;
        }

        double operator[](std::int64_t change) const { return values_[change + kMaxReach]; }

    private:
        static constexpr std::int64_t kMaxReach = 32;
        double values_[2 * kMaxReach + 1];
    };

    bool has_topology_;
    std::uint32_t topology_size_ = 0;
    SabreOptions options_;
    std::uint64_t release_after_ = 0;
    std::mt19937_64 rng_;  // tie draws, reseeded by every route
    TermTable front_terms_, ahead_terms_;
    std::uint32_t n_ = 0;
    // Row-major table of path lengths in qubits between physical qubits, 0 for no path; the
    // lengths of front groups are always positive, so their differences are distance differences.
    std::vector<std::int32_t> lengths_;
    // Neighbours of place p in the topology's order at p * stride_, the first degree_[p] of
    // them real, the others p itself. back_ is laid out the same (see build_back_index).
    std::uint32_t stride_ = 0;
    std::vector<std::uint32_t> neighbours_, degree_, back_;
    std::vector<std::uint32_t> order_;  // logical -> physical
    std::vector<std::uint32_t> where_;  // physical -> logical
    // Scratch, reused across passes and calls.
    std::vector<int> front_, executable_, ahead_;
    std::vector<QubitRole> role_;              // by logical qubit
    std::vector<std::uint32_t> front_qubits_;  // first and second qubit of each front group
    std::int64_t nb_gates_front_ = 0;
    std::vector<AheadOf> ahead_of_;  // by logical qubit
    std::vector<std::uint32_t> ahead_a_, ahead_b_, ahead_start_, ahead_by_qubit_, fill_;
    std::vector<std::int64_t> ahead_card_;
    std::int64_t nb_gates_ahead_ = 0;
    // Both sums for the current placement, kept up to date SWAP by SWAP, and bounds of their
    // changes by one SWAP in the current layer.
    std::int64_t front_sum_ = 0, ahead_sum_ = 0;
    std::int64_t max_front_change_ = 0, max_ahead_change_ = 0;
    // Moves of logical qubit q at q * stride_, one per neighbour entry of its place; kept up to
    // date for the qubits with a part in the layer (active_list_), 0 for all others.
    std::vector<Move> moves_;
    // Decay factors of the current step by logical qubit (see decay_step), the SWAPs of the
    // last kThreshold steps by step modulo kThreshold, and the step count.
    std::vector<double> factor_;
    Recent recent_[Decay::kThreshold];
    std::uint64_t step_ = 0;
    std::vector<char> active_;
    std::vector<std::uint32_t> active_list_, previous_active_;
    std::vector<MoveBasis> basis_;        // by logical qubit
    std::vector<std::uint64_t> visited_;  // by logical qubit: last layer that refreshed it
    std::uint64_t layer_ = 0;
};

}  // namespace couplize
