#include "lookahead/front_layer.hpp"

#include <gtest/gtest.h>

#include <numeric>
#include <string>
#include <vector>

#include "lookahead/layer_fixture.hpp"
#include "lookahead/lookahead_set.hpp"

namespace couplize {
namespace {

using fixtures::make_graph;

// Groups (0,1) of 2 gates and (2,3) of 1 on the line 0-1-2-3-4 with logical q on physical 4 - q:
// each qubit knows its group and partner, qubits outside the layer have none, and the sum is
// the gate-weighted path lengths.
TEST(FrontLayer, RolesAndSumOfTheLayer) {
    const QubitGraph graph = make_graph(5, fixtures::line_edges(5));
    const SabreTarget target(graph.routing_target());
    GroupGraph groups(5, {{0, 2}, {2, 0}, {1, 3}, {0, 1}});
    Order order(5);
    ASSERT_TRUE(order.assign({4, 3, 2, 1, 0}));
    FrontLayer front;
    front.reset(5);
    front.prepare(groups, groups.front_layer(), order, target);
    ASSERT_EQ(front.nb_groups(), 2u);
    EXPECT_EQ(front.qubits(),
              (std::vector<Logical>{Logical{0}, Logical{2}, Logical{1}, Logical{3}}));
    EXPECT_EQ(front.role(Logical{2}).front_index, 0u);
    EXPECT_EQ(front.role(Logical{2}).partner, Logical{0});
    EXPECT_EQ(front.role(Logical{3}).front_index, 1u);
    EXPECT_EQ(front.role(Logical{3}).nb_two_qubit_gates, 1);
    EXPECT_EQ(front.role(Logical{4}).front_index, QubitRole::kNoGroup);
    EXPECT_EQ(front.role(Logical{4}).partner, Logical{4});
    EXPECT_EQ(front.nb_gates(), 3);
    EXPECT_EQ(front.sum(), 2 * 3 + 1 * 3);  // physical 4-2 and 3-1
    EXPECT_EQ(front.max_change(), 4);
    EXPECT_EQ(front.sum(), front.recompute_sum(order, target));
    // A new layer clears the roles of the old one.
    ASSERT_NE(groups.pop_front_group(groups.front_layer()[1]), nullptr);
    front.prepare(groups, groups.front_layer(), order, target);
    EXPECT_EQ(front.nb_groups(), 1u);
    EXPECT_EQ(front.role(Logical{3}).front_index, QubitRole::kNoGroup);
}

TEST(FrontLayer, GroupAcrossComponentsIsRejectedWithItsQubits) {
    const QubitGraph graph = make_graph(4, {{0, 1}, {2, 3}});
    const SabreTarget target(graph.routing_target());
    GroupGraph groups(4, {{1, 2}});
    Order order(4);
    FrontLayer front;
    front.reset(4);
    try {
        front.prepare(groups, groups.front_layer(), order, target);
        FAIL() << "no exception";
    } catch (const std::invalid_argument& e) {
        EXPECT_EQ(std::string(e.what()),
                  "Qubits 1 and 2 of a two-qubit gate cannot be brought together: their physical "
                  "qubits 1 and 2 are not connected in the topology");
    }
}

// Look-ahead sets with crowded qubits (in more than two groups): the partners listed for each
// qubit, the shared gate counts and the sum agree with the groups of the set.
TEST(LookaheadSet, PartnersSharedCountsAndSumMatchTheGroups) {
    for (unsigned seed = 1; seed <= 4; ++seed) {
        const fixtures::Layer layer(9, fixtures::grid_edges(3, 3), 40, 5, true, seed);
        const LookaheadSet& ahead = layer.ahead;
        EXPECT_EQ(ahead.sum(), layer.ahead_sum());
        for (std::uint32_t x = 0; x < 9; ++x) {
            // Groups of the set on x, by other qubit, from the lists of the set.
            std::vector<int> groups_with(9, 0), listed(9, 0);
            for (std::size_t e = 0; e < ahead.firsts().size(); ++e) {
                if (ahead.firsts()[e] == Logical{x}) ++groups_with[index(ahead.seconds()[e])];
                if (ahead.seconds()[e] == Logical{x}) ++groups_with[index(ahead.firsts()[e])];
            }
            std::vector<std::int64_t> gates_with(9, 0);
            ahead.for_each_partner(Logical{x}, [&](Logical other, std::int64_t nb) {
                ++listed[index(other)];
                gates_with[index(other)] += nb;
            });
            EXPECT_EQ(listed, groups_with) << x;
            EXPECT_EQ(ahead.of(Logical{x}).count,
                      static_cast<std::uint32_t>(std::accumulate(listed.begin(), listed.end(), 0)));
            for (std::uint32_t y = 0; y < 9; ++y)
                EXPECT_EQ(ahead.shared(Logical{x}, Logical{y}), gates_with[y]) << x << "," << y;
        }
    }
}

}  // namespace
}  // namespace couplize
