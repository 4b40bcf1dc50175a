#pragma once
// A SABRE layer built by hand for the unit tests of its parts: a random circuit's group graph on
// a topology, a random placement, the front layer, the look-ahead set and the move table.
#include <algorithm>
#include <cstdint>
#include <memory>
#include <numeric>
#include <random>
#include <vector>

#include "lookahead/front_layer.hpp"
#include "lookahead/group_graph.hpp"
#include "lookahead/lookahead_set.hpp"
#include "lookahead/move_table.hpp"
#include "lookahead/sabre_target.hpp"
#include "swapcore/order.hpp"
#include "swapcore/test_topologies.hpp"

namespace couplize::fixtures {

inline std::vector<std::vector<std::uint32_t>> random_two_qubit_gates(std::uint32_t n,
                                                                      std::size_t count,
                                                                      unsigned seed) {
    std::mt19937 rng(seed);
    std::vector<std::vector<std::uint32_t>> gates;
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint32_t a = rng() % n, b = rng() % (n - 1);
        const std::vector<std::uint32_t> gate{a, b >= a ? b + 1 : b};
        // Runs of a gate make groups of several gates.
        for (std::uint32_t copy = rng() % 3; copy < 3; ++copy) gates.push_back(gate);
    }
    return gates;
}

struct Layer {
    std::shared_ptr<const SabreTarget> target;
    GroupGraph groups;
    Order order;
    FrontLayer front;
    LookaheadSet ahead;
    MoveTable moves;
    bool extended;

    // `nb_gates` random gates on the n qubits of `edges` (connected), a random placement, a
    // look-ahead `window` deep, then the tables prepared as the router prepares them.
    Layer(std::uint32_t n, const Edges& edges, std::size_t nb_gates, unsigned window,
          bool extended_heuristic, unsigned seed)
        : target(std::make_shared<const SabreTarget>(make_graph(n, edges).routing_target())),
          groups(n, random_two_qubit_gates(n, nb_gates, seed)),
          order(n),
          extended(extended_heuristic) {
        std::vector<std::uint32_t> physical_of(n);
        std::iota(physical_of.begin(), physical_of.end(), 0u);
        std::shuffle(physical_of.begin(), physical_of.end(), std::mt19937(seed));
        order.assign(physical_of);
        front.reset(n);
        ahead.reset(n);
        moves.reset(n, target->row_width());
        front.prepare(groups, groups.front_layer(), order, *target);
        if (extended) ahead.prepare(groups, window, order, *target);
        moves.refresh_layer(view());
    }

    LayerView view() const { return LayerView{order, *target, front, ahead, extended}; }

    // Both sums afresh, for the current placement.
    std::int64_t front_sum() const { return front.recompute_sum(order, *target); }
    std::int64_t ahead_sum() const { return extended ? ahead.recompute_sum(order, *target) : 0; }
};

}  // namespace couplize::fixtures
