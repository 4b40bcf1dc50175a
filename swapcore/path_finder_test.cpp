#include "swapcore/path_finder.hpp"

#include <gtest/gtest.h>

#include "swapcore/test_topologies.hpp"

namespace couplize {
namespace {

QubitGraph line(std::uint32_t n) { return fixtures::line_graph(n); }

Gate swap(std::uint32_t a, std::uint32_t b) { return {false, {a, b}}; }
Gate input(std::uint32_t a, std::uint32_t b) { return {true, {a, b}}; }

TEST(PathFinder, MeetingPointsOnALineInPathOrder) {
    PathFinder finder(line(4), 1);
    finder.set_interaction_list({{0, 3}});
    auto [base, paths] = finder.get_paths(0);
    EXPECT_TRUE(base.empty());
    ASSERT_EQ(paths.size(), 3u);
    EXPECT_EQ(paths[0], (GateList{swap(2, 3), swap(1, 2), input(0, 1)}));
    EXPECT_EQ(paths[1], (GateList{swap(0, 1), swap(2, 3), input(1, 2)}));
    EXPECT_EQ(paths[2], (GateList{swap(0, 1), swap(1, 2), input(2, 3)}));

    auto [committed, next] = finder.get_paths(1);
    EXPECT_EQ(committed, (GateList{swap(0, 1), swap(2, 3), input(1, 2)}));
    EXPECT_EQ(finder.get_order(), (std::vector<std::uint32_t>{1, 0, 3, 2}));
    EXPECT_EQ(finder.pending(), 0u);
    ASSERT_EQ(next.size(), 1u);  // nothing pending: one empty candidate
    EXPECT_TRUE(next[0].empty());
}

TEST(PathFinder, CommitStopsBeforeSwapsThatFollowAnInteraction) {
    PathFinder finder(line(4), 2);
    finder.set_interaction_list({{0, 2}, {1, 3}});
    auto [base, paths] = finder.get_paths(0);
    // Meeting on (0,1) makes the second pair adjacent (one candidate); meeting on (1,2) leaves
    // it three edges apart (three candidates).
    ASSERT_EQ(paths.size(), 4u);
    EXPECT_EQ(paths[0], (GateList{swap(1, 2), input(0, 1), input(2, 3)}));
    finder.get_paths(1);
    const auto& committed = finder.base_path();
    ASSERT_EQ(committed.size(), 2u);  // the leading swap and the first interaction only
    EXPECT_FALSE(committed[0].is_input);
    EXPECT_TRUE(committed[1].is_input);
    EXPECT_EQ(finder.pending(), 1u);
}

TEST(PathFinder, AdjacentWindowGivesOneCandidate) {
    PathFinder finder(line(4), 3);
    finder.set_interaction_list({{2, 3}, {0, 1}, {1}, {2, 1}});
    auto [base, paths] = finder.get_paths(5);  // first call: executable prefix is committed
    EXPECT_EQ(base.size(), 4u);
    ASSERT_EQ(paths.size(), 1u);
    EXPECT_TRUE(paths[0].empty());
}

TEST(PathFinder, WindowZeroNeverCommitsFromCandidates) {
    PathFinder finder(line(4), 0);
    finder.set_interaction_list({{0, 3}, {0, 1}});
    for (int round = 0; round < 3; ++round) {
        auto [base, paths] = finder.get_paths(0);
        ASSERT_EQ(paths.size(), 1u);
        EXPECT_TRUE(paths[0].empty());
        EXPECT_TRUE(base.empty());
    }
}

struct ArityCase {
    std::vector<Interaction> interactions;
    bool throws;
};

class PathFinderArity : public ::testing::TestWithParam<ArityCase> {};

TEST_P(PathFinderArity, ThreeQubitGateRejectedWithinOrJustAfterTheWindow) {
    PathFinder finder(line(4), 1);
    finder.set_interaction_list(GetParam().interactions);
    if (GetParam().throws)
        EXPECT_THROW(finder.get_paths(0), std::length_error);
    else
        EXPECT_NO_THROW(finder.get_paths(0));
}

INSTANTIATE_TEST_SUITE_P(
    Windows, PathFinderArity,
    ::testing::Values(ArityCase{{{0, 1, 2}}, true},                     // first entry
                      ArityCase{{{0, 2}, {0, 1, 2}}, true},             // right after the window
                      ArityCase{{{0, 2}, {1, 3}, {0, 1, 2}}, false}));  // further away

TEST(PathFinder, UnconnectedQubitsNameThePhysicalQubits) {
    QubitGraph g(4);
    g.add_edge(0, 1);
    g.add_edge(2, 3);
    PathFinder finder(g, 2);
    finder.set_interaction_list({{1, 2}});
    try {
        finder.get_paths(0);
        FAIL();
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(),
                     "A gate acting on two unconnected qubits (1 and 2) is present in the circuit. "
                     "Couplization is not allowed in this case.");
    }
}

TEST(PathFinder, RejectsQubitsOutsideTheGraphAndRepeatedQubits) {
    PathFinder finder(line(3), 1);
    EXPECT_THROW(finder.set_interaction_list({{0, 3}}), std::invalid_argument);
    EXPECT_THROW(finder.set_interaction_list({{1, 1}}), std::invalid_argument);
}

TEST(PathFinder, OperationsWithoutQubitsPassThrough) {
    PathFinder finder(line(3), 2);
    finder.set_interaction_list({{}, {0, 2}, {}});
    auto [base, paths] = finder.get_paths(0);
    ASSERT_EQ(base.size(), 1u);
    EXPECT_TRUE(base[0].second.empty());
    while (!paths.empty() && !paths[0].empty()) std::tie(base, paths) = finder.get_paths(0);
    EXPECT_EQ(finder.pending(), 0u);
    EXPECT_TRUE(base.back().first && base.back().second.empty());
}

TEST(PathFinder, CandidateCountIsProductOfPathLengths) {
    PathFinder finder(line(6), 2);
    finder.set_interaction_list({{0, 3}, {2, 5}});
    finder.get_paths(0);
    // 3 meeting edges for the first; after any of them the second pair is still 3 apart or
    // closer, never adjacent on this line, so every branch multiplies.
    std::size_t total = finder.candidates().size();
    EXPECT_GE(total, 3u);
    EXPECT_EQ(fewest_entries_index(finder.candidates()) >= 0, true);
}

TEST(PathFinder, FewestEntriesPrefersEarliestOnTies) {
    CandidateSet set;
    auto make = [](std::size_t n) { return std::vector<PathStep>(n, PathStep::swap(0, 1)); };
    for (std::size_t n : {5, 3, 3, 4}) set.add(make(n));
    EXPECT_EQ(fewest_entries_index(set), 1);
    EXPECT_EQ(fewest_entries_index(CandidateSet{}), -1);
}

}  // namespace
}  // namespace couplize
