#pragma once
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <stdexcept>
#include <vector>

#include "common/qubits.hpp"
#include "lookahead/decay.hpp"
#include "lookahead/front_layer.hpp"
#include "lookahead/group_graph.hpp"
#include "lookahead/lookahead_set.hpp"
#include "lookahead/move_table.hpp"
#include "lookahead/sabre_target.hpp"
#include "lookahead/swap_scan.hpp"
#include "swapcore/order.hpp"
#include "swapcore/routing_target.hpp"

namespace couplize {

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
    static constexpr Physical kNone{std::numeric_limits<std::uint32_t>::max()};

    std::uint32_t gate;  // index of the input gate, or kSwap
    Physical first;
    Physical second;  // kNone for a one-qubit gate

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

class StepStream;

// Thrown when two-qubit work needs a topology and none was given.
class MissingTopology : public std::logic_error {
public:
    MissingTopology() : std::logic_error("No topology given: set a graph before routing") {}
};

// SABRE routing: starting from the identity placement (or a given one), execute every front
// group whose qubits are neighbours; when none is, apply the SWAP the scan finds best (see
// SwapScan for the candidates, their order, the score and the tie-break).
//
// Each candidate is scored incrementally from the front and look-ahead sums of the current
// placement, which are kept up to date SWAP by SWAP (checked against a recomputation in debug
// builds): only the terms of groups on the two swapped qubits change, and the move table gives
// them in two reads. The router keeps its scratch buffers between calls; it reads only its
// immutable SabreTarget and touches no Python object, so routers on one shared target may run
// on different threads.
class SabreRouter {
public:
    // Routes on `target`; null for no topology (only circuits without two-qubit groups route).
    SabreRouter(std::shared_ptr<const SabreTarget> target, SabreOptions options);
    // Same, building the padded rows from the routing target now (O(n^2)).
    SabreRouter(const std::shared_ptr<const RoutingTarget>& target, SabreOptions options);

    // `gates[i]` lists the qubits of operation i. `initial_order`, when not empty, gives the
    // physical qubit of every logical qubit at the start, one entry per physical qubit of the
    // topology (logical qubits beyond the circuit's are idle). Throws std::invalid_argument for
    // a bad gate (see GroupGraph), a topology smaller than the circuit, an initial order that is
    // not such a permutation, or a front group whose qubits lie in different components of the
    // topology (before any SWAP on them); MissingTopology when two-qubit gates exist and no
    // target was given. Never loops without end: see release_after. With a `stream`, the steps
    // are published to it as they are made (all of them by the time route returns); the caller
    // starts and closes it.
    SabreResult route(std::vector<std::vector<std::uint32_t>> gates, std::uint32_t nb_logical,
                      const std::vector<std::uint32_t>& initial_order = {},
                      StepStream* stream = nullptr);

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
    // The SWAP of one decay step, if any.
    struct Recent {
        Logical x{0}, y{0};
        bool swapped = false;
    };

    void route_groups(GroupGraph& groups, SabreResult& result);
    void prepare_layer(GroupGraph& groups);
    void apply_swap(Logical x, Logical y, SabreResult& result);
    void release(Decay& decay, SabreResult& result);
    void decay_step(Decay& decay, bool swapped, Logical x = Logical{0}, Logical y = Logical{0});
    // Debug builds: the kept sums and moves equal a recomputation.
    bool sums_are_exact() const;
    LayerView view() const {
        return LayerView{order_, *target_, front_, ahead_, !options_.basic_heuristic};
    }

    std::shared_ptr<const SabreTarget> target_;  // null: no topology
    SabreOptions options_;
    StepStream* stream_ = nullptr;  // of the route running, if streamed
    std::uint64_t release_after_ = 0;
    Order order_;
    // Scratch, reused across passes and calls.
    std::vector<int> front_groups_, executable_;
    FrontLayer front_;
    LookaheadSet ahead_;
    MoveTable moves_;
    SwapScan scan_;
    // Decay factors of the current step by logical qubit (see decay_step), the SWAPs of the
    // last kThreshold steps by step modulo kThreshold, and the step count.
    std::vector<double> factor_;
    Recent recent_[Decay::kThreshold];
    std::uint64_t step_ = 0;
};

}  // namespace couplize
