#include "lookahead/group_graph.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <string>
#include <utility>
#include <vector>

namespace couplize {
namespace {

using Gates = std::vector<std::vector<std::uint32_t>>;

// The look-ahead groups in increasing vertex id.
std::vector<int> ahead_of(GroupGraph& g, unsigned depth) {
    std::vector<int> out;
    g.look_ahead(depth, out);
    std::sort(out.begin(), out.end());
    return out;
}

std::pair<std::uint32_t, std::uint32_t> pair_of(const GroupGraph& g, int vertex) {
    return {index(g.group(vertex).first), index(g.group(vertex).second)};
}

// The gates of a front group, which it executes.
std::vector<std::uint32_t> pop(GroupGraph& g, int vertex) {
    const std::vector<std::uint32_t>* gates = g.pop_front_group(vertex);
    return gates ? *gates : std::vector<std::uint32_t>{99};
}

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
    EXPECT_EQ(g.front_layer(), std::vector<int>{1});
    EXPECT_EQ(g.group(1).nb_two_qubit_gates, 3);
    EXPECT_EQ(pair_of(g, 1), std::make_pair(0u, 1u));
    EXPECT_TRUE(g.begin_gates().empty());
    EXPECT_EQ(pop(g, 1), GetParam().group_gates);
    EXPECT_TRUE(g.front_layer().empty());
}

INSTANTIATE_TEST_SUITE_P(Runs, OneGroup,
                         testing::Values(OneGroupCase{{{0, 1}, {1, 0}, {0, 1}}, {0, 1, 2}},
                                         OneGroupCase{{{0, 1}, {0}, {1, 0}, {0, 1}},
                                                      {0, 1, 2, 3}}));

// (0,1), (0,2), (0,1) on three qubits: groups 1, 2, 3 and the sink 4. A group enters the front
// layer only once both its predecessors ran.
TEST(GroupGraph, ChainOfThreeGroupsHasItsEdgesAndReleasesTheFrontInOrder) {
    GroupGraph g(3, {{0, 1}, {0, 2}, {0, 1}});
    EXPECT_EQ(g.nb_groups(), 3u);
    EXPECT_EQ(g.sink(), 4);
    EXPECT_EQ(g.front_layer(), std::vector<int>{1});
    // Below 1: 2 along qubit 0 and 3 along qubit 1; 3, met again below 2, is listed once.
    std::vector<int> walk;
    g.look_ahead(UINT_MAX, walk);
    EXPECT_EQ(walk, (std::vector<int>{2, 3}));

    ASSERT_NE(g.pop_front_group(1), nullptr);
    EXPECT_EQ(g.front_layer(), std::vector<int>{2});  // 3 still waits for 2
    // A vertex outside the front layer is not popped and nothing changes.
    EXPECT_EQ(g.pop_front_group(3), nullptr);
    EXPECT_EQ(g.pop_front_group(1), nullptr);
    EXPECT_EQ(g.front_layer(), std::vector<int>{2});
    const std::vector<std::uint32_t>* gates = g.pop_front_group(2);
    ASSERT_NE(gates, nullptr);
    EXPECT_EQ(*gates, std::vector<std::uint32_t>{1});
    EXPECT_EQ(g.front_layer(), std::vector<int>{3});
    ASSERT_NE(g.pop_front_group(3), nullptr);
    EXPECT_TRUE(g.front_layer().empty());
}

TEST(GroupGraph, OneQubitGatesOnlyAreAllBeginGates) {
    GroupGraph g(3, {{0}, {2}, {0}, {1}});
    EXPECT_EQ(g.nb_groups(), 0u);
    EXPECT_TRUE(g.front_layer().empty());
    EXPECT_EQ(g.begin_gates(), (std::vector<int>{0, 1, 2, 3}));
    EXPECT_EQ(g.sink(), 1);
    EXPECT_TRUE(ahead_of(g, UINT_MAX).empty());
}

// The closed flag stops two-qubit gates from joining, not one-qubit gates.
TEST(GroupGraph, OneQubitGateJoinsClosedGroupStillCurrentOnItsQubit) {
    GroupGraph g(3, {{0}, {0, 1}, {1, 2}, {0}, {1, 0}});
    EXPECT_EQ(g.begin_gates(), std::vector<int>{0});
    EXPECT_EQ(g.group(1).nb_two_qubit_gates, 1);
    // (1, 0) after the closing gate starts a third group.
    EXPECT_EQ(g.nb_groups(), 3u);
    EXPECT_EQ(pair_of(g, 3), std::make_pair(1u, 0u));
    EXPECT_EQ(pop(g, 1), (std::vector<std::uint32_t>{1, 3}));
    EXPECT_EQ(pop(g, 2), std::vector<std::uint32_t>{2});
    EXPECT_EQ(pop(g, 3), std::vector<std::uint32_t>{4});
}

// Diamond: 1 = (0,1) feeds 2 = (0,2) and 3 = (1,3), which both feed 4 = (2,3); then 5 = (0,1).
TEST(GroupGraph, LookAheadHoldsGroupsOneToDepthEdgesBelowTheFront) {
    GroupGraph g(4, {{0, 1}, {0, 2}, {1, 3}, {2, 3}, {0, 1}});
    EXPECT_TRUE(ahead_of(g, 0).empty());
    EXPECT_EQ(ahead_of(g, 1), (std::vector<int>{2, 3}));
    EXPECT_EQ(ahead_of(g, 2), (std::vector<int>{2, 3, 4, 5}));
    EXPECT_EQ(ahead_of(g, UINT_MAX), (std::vector<int>{2, 3, 4, 5}));
    // The walk lists each group once, level by level.
    std::vector<int> walk{7};
    g.look_ahead(2, walk);
    EXPECT_EQ(walk, (std::vector<int>{2, 3, 5, 4}));
    g.pop_front_group(1);
    EXPECT_EQ(g.front_layer(), (std::vector<int>{2, 3}));
    EXPECT_EQ(ahead_of(g, 1), (std::vector<int>{4, 5}));
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
    EXPECT_EQ(ahead_of(g, UINT_MAX).size(), 1999u);
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

TEST(GroupGraph, PoppingAVertexOutsideTheGraphThrows) {
    GroupGraph g(2, {{0, 1}});
    for (int vertex : {-1, 3, 9}) EXPECT_THROW(g.pop_front_group(vertex), std::invalid_argument);
    EXPECT_EQ(g.pop_front_group(0), nullptr);  // the source, never in the front layer
    EXPECT_EQ(g.pop_front_group(2), nullptr);  // the sink
    EXPECT_EQ(g.front_layer(), std::vector<int>{1});
}

}  // namespace
}  // namespace couplize
