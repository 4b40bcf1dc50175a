#include "lookahead/group_graph.hpp"

#include <gtest/gtest.h>

#include <climits>
#include <set>
#include <string>
#include <vector>

namespace couplize {
namespace {

using Gates = std::vector<std::vector<std::uint32_t>>;

struct OneGroupCase {
    Gates gates;
    std::vector<std::uint32_t> group_gates;
};

class OneGroup : public testing::TestWithParam<OneGroupCase> {};

// A run of two-qubit gates on one pair, in either qubit order, is one group; a one-qubit gate on
// one of its qubits joins it without counting as a two-qubit gate.
TEST_P(OneGroup, RunOnOnePairFormsOneGroup) {
    GroupGraph g(2, GetParam().gates);
    EXPECT_EQ(g.nb_groups(), 1u);
    EXPECT_EQ(g.get_front_layer(), std::vector<int>{1});
    EXPECT_EQ(g.group(1).gates, GetParam().group_gates);
    EXPECT_EQ(g.card_multiqubits_gates(1), 3);
    EXPECT_EQ(g.get_pair_qubits(1), std::make_pair(0u, 1u));
    EXPECT_TRUE(g.get_begin_gates().empty());
}

INSTANTIATE_TEST_SUITE_P(Runs, OneGroup,
                         testing::Values(OneGroupCase{{{0, 1}, {1, 0}, {0, 1}}, {0, 1, 2}},
                                         OneGroupCase{{{0, 1}, {0}, {1, 0}, {0, 1}},
                                                      {0, 1, 2, 3}}));

// (0,1), (0,2), (0,1) on three qubits: groups 1, 2, 3 and the sink 4.
TEST(GroupGraph, ChainOfThreeGroupsHasItsEdgesAndReleasesTheFrontInOrder) {
    GroupGraph g(3, {{0, 1}, {0, 2}, {0, 1}});
    const auto& dag = g.graph();
    EXPECT_EQ(g.nb_groups(), 3u);
    EXPECT_EQ(g.sink(), 4);
    EXPECT_EQ(g.get_front_layer(), std::vector<int>{1});
    EXPECT_EQ(dag.get_succ(1, 0), 2);
    EXPECT_EQ(dag.get_succ(1, 1), 3);
    EXPECT_EQ(dag.get_succ(2, 0), 3);
    EXPECT_EQ(dag.get_succ(2, 2), 4);
    EXPECT_EQ(dag.get_succ(3, 0), 4);
    EXPECT_EQ(dag.get_succ(3, 1), 4);
    EXPECT_THROW(dag.get_succ(2, 1), std::invalid_argument);

    EXPECT_FALSE(g.can_insert_in_front(3));
    ASSERT_NE(g.pop_front_group(1), nullptr);
    EXPECT_EQ(g.get_front_layer(), std::vector<int>{2});
    EXPECT_FALSE(g.can_insert_in_front(3));
    // A vertex outside the front layer is not popped and nothing changes.
    EXPECT_EQ(g.pop_front_group(3), nullptr);
    EXPECT_EQ(g.get_executed(), (std::set<int>{0, 1}));
    ASSERT_NE(g.pop_front_group(2), nullptr);
    EXPECT_EQ(g.get_front_layer(), std::vector<int>{3});
    ASSERT_NE(g.pop_front_group(3), nullptr);
    EXPECT_TRUE(g.get_front_layer().empty());
    EXPECT_FALSE(g.can_insert_in_front(g.sink()));
}

TEST(GroupGraph, OneQubitGatesOnlyAreAllBeginGates) {
    GroupGraph g(3, {{0}, {2}, {0}, {1}});
    EXPECT_EQ(g.nb_groups(), 0u);
    EXPECT_TRUE(g.get_front_layer().empty());
    EXPECT_EQ(g.get_begin_gates(), (std::vector<int>{0, 1, 2, 3}));
    EXPECT_EQ(g.sink(), 1);
    for (unsigned q = 0; q < 3; ++q) {
        EXPECT_EQ(g.graph().get_succ(0, q), 1);
    }
    EXPECT_EQ(g.get_executed(), std::set<int>{0});
}

// The closed flag stops two-qubit gates from joining, not one-qubit gates.
TEST(GroupGraph, OneQubitGateJoinsClosedGroupStillCurrentOnItsQubit) {
    GroupGraph g(3, {{0}, {0, 1}, {1, 2}, {0}, {1, 0}});
    EXPECT_EQ(g.get_begin_gates(), std::vector<int>{0});
    EXPECT_EQ(g.group(1).gates, (std::vector<std::uint32_t>{1, 3}));
    EXPECT_TRUE(g.group(1).closed);
    // (1, 0) after the closing gate starts a third group.
    EXPECT_EQ(g.nb_groups(), 3u);
    EXPECT_EQ(g.get_pair_qubits(3), std::make_pair(1u, 0u));
}

// Diamond: 1 = (0,1) feeds 2 = (0,2) and 3 = (1,3), which both feed 4 = (2,3); then 5 = (0,1).
TEST(GroupGraph, CloseLayersHoldsGroupsOneToDepthEdgesBelowTheFront) {
    GroupGraph g(4, {{0, 1}, {0, 2}, {1, 3}, {2, 3}, {0, 1}});
    EXPECT_TRUE(g.close_layers(0).empty());
    EXPECT_EQ(g.close_layers(1), (std::set<int>{2, 3}));
    EXPECT_EQ(g.close_layers(2), (std::set<int>{2, 3, 4, 5}));
    EXPECT_EQ(g.close_layers(UINT_MAX), (std::set<int>{2, 3, 4, 5}));
    int vertex = 2;
    unsigned depth = 1;
    std::set<int> out{7};
    g.get_succ_groups(vertex, out, depth);
    EXPECT_EQ(out, (std::set<int>{4, 5, 7}));
    EXPECT_EQ(depth, 1u);
    g.pop_front_group(1);
    EXPECT_EQ(g.get_front_layer(), (std::vector<int>{2, 3}));
    EXPECT_EQ(g.close_layers(1), (std::set<int>{4, 5}));
}

TEST(GroupGraph, DeepWindowOverManyPathsStaysCheap) {
    // A ladder of 2000 groups alternating on (0,1) and (1,2): the number of paths explodes for a
    // walk that does not remember visited groups.
    Gates gates;
    for (int i = 0; i < 1000; ++i) {
        gates.push_back({0, 1});
        gates.push_back({1, 2});
    }
    GroupGraph g(3, gates);
    EXPECT_EQ(g.close_layers(UINT_MAX).size(), 1999u);
}

struct BadGate {
    Gates gates;
    std::string message;
};

class RejectedGate : public testing::TestWithParam<BadGate> {};

TEST_P(RejectedGate, ThrowsWithMessage) {
    try {
        GroupGraph g(3, GetParam().gates);
        FAIL() << "no exception";
    } catch (const std::invalid_argument& e) {
        EXPECT_EQ(std::string(e.what()), GetParam().message);
    }
}

const std::string kArity = "SABRE algorithm does not accept gateswhich act one more than 2 qubits";

INSTANTIATE_TEST_SUITE_P(
    Gates, RejectedGate,
    testing::Values(BadGate{{{0, 1}, {}}, kArity}, BadGate{{{0, 1, 2}}, kArity},
                    BadGate{{{0}, {1, 3}},
                            "Gate 1 acts on qubit 3, but the circuit has only 3 qubits"},
                    BadGate{{{0, 1}, {1, 1}}, "Gate 1 acts twice on qubit 1"},
                    BadGate{{{2, 2}}, "Gate 0 acts twice on qubit 2"}));

TEST(GroupGraph, QueriesOnVerticesWithoutGroupThrow) {
    GroupGraph g(2, {{0, 1}});
    for (int vertex : {-1, 0, 2, 3}) {
        EXPECT_THROW(g.get_pair_qubits(vertex), std::invalid_argument) << vertex;
        EXPECT_THROW(g.card_multiqubits_gates(vertex), std::invalid_argument) << vertex;
    }
    EXPECT_THROW(g.pop_front_group(3), std::invalid_argument);
    EXPECT_THROW(g.can_insert_in_front(9), std::invalid_argument);
    EXPECT_EQ(g.get_front_layer(), std::vector<int>{1});
}

}  // namespace
}  // namespace couplize
