#include "lookahead/move_table.hpp"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "lookahead/layer_fixture.hpp"

namespace couplize {
namespace {

using fixtures::Layer;

bool same_moves(const Move* kept, const std::vector<Move>& fresh) {
    for (std::size_t k = 0; k < fresh.size(); ++k)
        if (kept[k].front != fresh[k].front || kept[k].ahead != fresh[k].ahead) return false;
    return true;
}

// (extended heuristic, look-ahead window, seed)
class Moves : public testing::TestWithParam<std::tuple<bool, unsigned, unsigned>> {};

// For every SWAP of a front qubit x with the holder y of a neighbouring place (not its partner):
// the move of x plus the move of y read through the back index, plus twice the gates of the
// look-ahead groups on both, equals the change of each sum computed afresh. After the SWAP, the
// moves kept up to date by update_around equal a recomputation.
TEST_P(Moves, EqualDirectDifferencesOfTheSumsAndStayExactSwapBySwap) {
    const auto [extended, window, seed] = GetParam();
    Layer layer(16, fixtures::grid_edges(4, 4), 40, window, extended, seed);
    const SabreTarget& target = *layer.target;
    std::mt19937 rng(seed);
    for (int round = 0; round < 6; ++round) {
        const std::vector<Logical>& qubits = layer.front.qubits();
        ASSERT_FALSE(qubits.empty());
        std::vector<std::pair<Logical, Logical>> candidates;
        for (Logical x : qubits) {
            const Physical px = layer.order.get_physical_qubit(x);
            for (std::uint32_t k = 0; k < target.degree(px); ++k) {
                const Physical py = target.neighbour_entries()[target.row(px) + k];
                const Logical y = layer.order.get_logical_qubit(py);
                if (y == layer.front.role(x).partner) continue;
                const Move& mx = layer.moves.of(x)[k];
                const Move& my = layer.moves.of(y)[target.back_entries()[target.row(px) + k]];
                const std::int64_t front_before = layer.front_sum();
                const std::int64_t ahead_before = layer.ahead_sum();
                layer.order.insert_physical_swap(px, py);
                EXPECT_EQ(mx.front + my.front, layer.front_sum() - front_before);
                if (extended) {
                    EXPECT_EQ(mx.ahead + my.ahead + 2 * layer.ahead.shared(x, y),
                              layer.ahead_sum() - ahead_before);
                }
                layer.order.insert_physical_swap(px, py);
                candidates.emplace_back(x, y);
            }
        }
        ASSERT_FALSE(candidates.empty());
        const auto [x, y] = candidates[rng() % candidates.size()];
        layer.order.insert_physical_swap(layer.order.get_physical_qubit(x),
                                         layer.order.get_physical_qubit(y));
        layer.moves.update_around(x, layer.view());
        layer.moves.update_around(y, layer.view());
        for (Logical q : qubits)
            EXPECT_TRUE(same_moves(layer.moves.of(q), layer.moves.recompute(q, layer.view())))
                << "qubit " << index(q) << " round " << round;
    }
}

INSTANTIATE_TEST_SUITE_P(Layers, Moves,
                         testing::Combine(testing::Bool(), testing::Values(1u, 4u),
                                          testing::Values(1u, 2u, 3u)));

// A new layer on the same placement: only moves whose inputs changed are recomputed, and all
// of them are exact afterwards.
TEST(Moves, RefreshAtANewLayerLeavesEveryMoveExact) {
    Layer layer(16, fixtures::grid_edges(4, 4), 60, 3, true, 9);
    for (int pass = 0; pass < 5 && !layer.groups.front_layer().empty(); ++pass) {
        layer.groups.pop_front_group(layer.groups.front_layer().front());
        layer.front.prepare(layer.groups, layer.groups.front_layer(), layer.order, *layer.target);
        layer.ahead.prepare(layer.groups, 3, layer.order, *layer.target);
        layer.moves.refresh_layer(layer.view());
        for (Logical q : layer.front.qubits())
            EXPECT_TRUE(same_moves(layer.moves.of(q), layer.moves.recompute(q, layer.view())));
        for (Logical q : layer.ahead.firsts())
            EXPECT_TRUE(same_moves(layer.moves.of(q), layer.moves.recompute(q, layer.view())));
    }
}

}  // namespace
}  // namespace couplize
