#include "swapcore/path_finder.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <random>
#include <string>

#include "swapcore/test_topologies.hpp"

namespace couplize {
namespace {

QubitGraph line(std::uint32_t n) { return fixtures::line_graph(n); }

Gate swap(std::uint32_t a, std::uint32_t b) { return {false, {a, b}}; }
Gate input(std::uint32_t a, std::uint32_t b) { return {true, {a, b}}; }

TEST(PathFinder, MeetingPointsOnALineInPathOrder) {
    PathFinder finder(line(4).routing_target(), 1);
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
    PathFinder finder(line(4).routing_target(), 2);
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
    PathFinder finder(line(4).routing_target(), 3);
    finder.set_interaction_list({{2, 3}, {0, 1}, {1}, {2, 1}});
    auto [base, paths] = finder.get_paths(5);  // first call: executable prefix is committed
    EXPECT_EQ(base.size(), 4u);
    ASSERT_EQ(paths.size(), 1u);
    EXPECT_TRUE(paths[0].empty());
}

TEST(PathFinder, WindowZeroNeverCommitsFromCandidates) {
    PathFinder finder(line(4).routing_target(), 0);
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
    PathFinder finder(line(4).routing_target(), 1);
    finder.set_interaction_list(GetParam().interactions);
    if (GetParam().throws)
        EXPECT_THROW(finder.get_paths(0), std::invalid_argument);
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
    PathFinder finder(g.routing_target(), 2);
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
    PathFinder finder(line(3).routing_target(), 1);
    EXPECT_THROW(finder.set_interaction_list({{0, 3}}), std::invalid_argument);
    EXPECT_THROW(finder.set_interaction_list({{1, 1}}), std::invalid_argument);
}

TEST(PathFinder, OperationsWithoutQubitsPassThrough) {
    PathFinder finder(line(3).routing_target(), 2);
    finder.set_interaction_list({{}, {0, 2}, {}});
    auto [base, paths] = finder.get_paths(0);
    ASSERT_EQ(base.size(), 1u);
    EXPECT_TRUE(base[0].second.empty());
    while (!paths.empty() && !paths[0].empty()) std::tie(base, paths) = finder.get_paths(0);
    EXPECT_EQ(finder.pending(), 0u);
    EXPECT_TRUE(base.back().first && base.back().second.empty());
}

TEST(PathFinder, CandidateCountIsProductOfPathLengths) {
    PathFinder finder(line(6).routing_target(), 2);
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
    auto make = [](std::size_t n) {
        return std::vector<PathStep>(n, PathStep::swap(Physical{0}, Physical{1}));
    };
    for (std::size_t n : {5, 3, 3, 4}) set.add(make(n));
    EXPECT_EQ(fewest_entries_index(set), 1);
    EXPECT_EQ(fewest_entries_index(CandidateSet{}), -1);
}

// --- the pruned choice against the full enumeration ---------------------------------------

// Reference: enumerate every candidate and take the fewest entries, earliest on ties.
PathFinder route_by_enumeration(const QubitGraph& graph, std::uint32_t window,
                                const std::vector<Interaction>& circuit) {
    PathFinder finder(graph.routing_target(), window);
    finder.set_interaction_list(circuit);
    finder.step(0);
    while (finder.candidates().size() > 0 && finder.candidates().length(0) > 0)
        finder.step(static_cast<std::size_t>(fewest_entries_index(finder.candidates())));
    return finder;
}

PathFinder route_pruned(const QubitGraph& graph, std::uint32_t window,
                        const std::vector<Interaction>& circuit) {
    PathFinder finder(graph.routing_target(), window);
    finder.set_interaction_list(circuit);
    finder.route_fewest();
    return finder;
}

std::vector<Interaction> random_interactions(std::uint32_t n, std::size_t count,
                                             std::mt19937& rng) {
    std::vector<Interaction> result;
    std::uniform_int_distribution<std::uint32_t> pick(0, n - 1);
    while (result.size() < count) {
        const std::uint32_t a = pick(rng), b = pick(rng);
        if (rng() % 5 == 0)
            result.push_back({a});
        else if (a != b)
            result.push_back({a, b});
    }
    return result;
}

// Chains of gates sharing qubits and long single gates, where pruning and the per-edge scoring
// of the last interaction matter most.
std::vector<Interaction> star_interactions(std::uint32_t n, std::size_t count, std::mt19937& rng) {
    std::vector<Interaction> result;
    std::uniform_int_distribution<std::uint32_t> pick(1, n - 1);
    for (std::size_t k = 0; k < count; ++k)
        result.push_back({k % 3 == 0 ? 0 : pick(rng), pick(rng)});
    std::erase_if(result, [](const Interaction& q) { return q[0] == q[1]; });
    return result;
}

// Replays a committed path: every SWAP on an edge, every interaction in circuit order on the
// physical qubits that hold its logical qubits, two-qubit ones on neighbours.
void expect_routes(QubitGraph graph, const std::vector<Interaction>& circuit,
                   const PathFinder& finder) {
    const RoutingTarget& target = *graph.routing_target();
    Order order(target.nb_physical());
    std::size_t k = 0;
    for (const PathStep& s : finder.base_path()) {
        if (!s.is_input) {
            EXPECT_TRUE(target.are_neighbours(s.qubits[0], s.qubits[1]));
            order.insert_physical_swap(s.qubits[0], s.qubits[1]);
            continue;
        }
        ASSERT_LT(k, circuit.size());
        ASSERT_EQ(s.arity, circuit[k].size());
        for (std::size_t a = 0; a < s.arity; ++a)
            EXPECT_EQ(order.get_logical_qubit(s.qubits[a]), Logical{circuit[k][a]})
                << "interaction " << k;
        if (s.arity == 2) {
            EXPECT_TRUE(target.are_neighbours(s.qubits[0], s.qubits[1]));
        }
        ++k;
    }
    EXPECT_EQ(k, circuit.size());
    EXPECT_EQ(order.get(), finder.get_order());
}

struct Topology {
    const char* name;
    std::uint32_t n;
    fixtures::Edges edges;
};

class PrunedChoice : public ::testing::TestWithParam<std::tuple<Topology, std::uint32_t>> {};

TEST_P(PrunedChoice, SamePathAndOrderAsFullEnumeration) {
    const auto& [topology, window] = GetParam();
    const QubitGraph graph = fixtures::make_graph(topology.n, topology.edges);
    std::mt19937 rng(1000 * window + topology.n);
    for (int round = 0; round < 12; ++round) {
        const auto circuit = round % 3 == 2 ? star_interactions(topology.n, 24, rng)
                                            : random_interactions(topology.n, 30, rng);
        const PathFinder expected = route_by_enumeration(graph, window, circuit);
        const PathFinder pruned = route_pruned(graph, window, circuit);
        ASSERT_EQ(pruned.base_path().size(), expected.base_path().size()) << "round " << round;
        for (std::size_t s = 0; s < expected.base_path().size(); ++s)
            ASSERT_EQ(pruned.base_path()[s].to_gate(), expected.base_path()[s].to_gate())
                << "round " << round << ", entry " << s;
        EXPECT_EQ(pruned.get_order(), expected.get_order());
        EXPECT_EQ(pruned.pending(), 0u);
        if (round == 0) expect_routes(graph, circuit, pruned);
    }
}

std::string topology_case_name(
    const ::testing::TestParamInfo<std::tuple<Topology, std::uint32_t>>& param_info) {
    return std::string(std::get<0>(param_info.param).name) + "_window" +
           std::to_string(std::get<1>(param_info.param));
}

INSTANTIATE_TEST_SUITE_P(
    RandomCircuits, PrunedChoice,
    ::testing::Combine(
        ::testing::Values(
            Topology{"Line7", 7, fixtures::line_edges(7)},
            Topology{"Grid3x3", 9, fixtures::grid_edges(3, 3)},
            Topology{"Ring8", 8,
                     [] {
                         auto e = fixtures::line_edges(8);
                         e.emplace_back(7, 0);
                         return e;
                     }()},
            Topology{"Spare",
                     8,
                     {{0, 1}, {1, 2}, {2, 3}, {1, 4}, {4, 5}, {5, 6}, {6, 7}, {3, 7}, {0, 5}}}),
        ::testing::Values(1u, 2u, 3u, 4u, 5u, 6u)),
    topology_case_name);

// On an even ring the two halves are equally short; the route must not depend on which
// direction the caller's graph (copied with its cache) was asked first.
TEST(PathFinder, RouteIgnoresTheGraphsQueryHistory) {
    auto edges = fixtures::line_edges(8);
    edges.emplace_back(7, 0);
    QubitGraph fresh = fixtures::make_graph(8, edges);
    QubitGraph primed = fresh;
    for (std::uint32_t a = 0; a < 8; ++a)
        for (std::uint32_t b = 0; b < a; ++b) primed.path(a, b);  // higher-numbered end first
    std::mt19937 rng(5);
    for (int round = 0; round < 10; ++round) {
        const auto circuit = random_interactions(8, 20, rng);
        const PathFinder expected = route_by_enumeration(fresh, 2, circuit);
        EXPECT_EQ(route_by_enumeration(primed, 2, circuit).get_order(), expected.get_order());
        EXPECT_EQ(route_pruned(primed, 2, circuit).get_order(), expected.get_order());
    }
}

class OptInRoutes
    : public ::testing::TestWithParam<std::tuple<bool, std::uint32_t, std::uint32_t>> {};

TEST_P(OptInRoutes, EveryInteractionOnNeighboursInOrder) {
    const auto& [whole, lookahead, window] = GetParam();
    const QubitGraph graph = fixtures::make_graph(9, fixtures::grid_edges(3, 3));
    std::mt19937 rng(window + lookahead);
    for (int round = 0; round < 5; ++round) {
        const auto circuit = random_interactions(9, 40, rng);
        PathFinder finder(graph.routing_target(), window);
        finder.set_lookahead(lookahead, 1.0);
        finder.set_interaction_list(circuit);
        finder.route_fewest(whole);
        expect_routes(graph, circuit, finder);
    }
}

INSTANTIATE_TEST_SUITE_P(Modes, OptInRoutes,
                         ::testing::Combine(::testing::Bool(), ::testing::Values(0u, 6u),
                                            ::testing::Values(1u, 3u, 5u)));

TEST(PathFinder, LookaheadWeightMustBeFiniteAndNonNegative) {
    PathFinder finder(line(4).routing_target(), 2);
    EXPECT_THROW(finder.set_lookahead(3, -1.0), std::invalid_argument);
    EXPECT_THROW(finder.set_lookahead(3, std::numeric_limits<double>::infinity()),
                 std::invalid_argument);
    EXPECT_NO_THROW(finder.set_lookahead(3, 0.0));
}

// Faults met inside the window surface from the pruned route with the same type and text.
struct FaultCase {
    const char* name;
    std::vector<Interaction> circuit;
    std::uint32_t window;
};

class PrunedFaults : public ::testing::TestWithParam<FaultCase> {};

std::string fault_of(const std::function<void()>& run) {
    try {
        run();
    } catch (const std::invalid_argument& e) {
        return std::string("invalid_argument: ") + e.what();
    }
    return "none";
}

TEST_P(PrunedFaults, SameErrorAsFullEnumeration) {
    const FaultCase& c = GetParam();
    // Two components: 0-1-2-3 and 4-5-6.
    const QubitGraph graph = fixtures::make_graph(7, {{0, 1}, {1, 2}, {2, 3}, {4, 5}, {5, 6}});
    const std::string expected =
        fault_of([&] { route_by_enumeration(graph, c.window, c.circuit); });
    EXPECT_EQ(fault_of([&] { route_pruned(graph, c.window, c.circuit); }), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Windows, PrunedFaults,
    ::testing::Values(FaultCase{"ArityAfterWindow", {{0, 3}, {1, 2}, {0, 1, 2}}, 2},
                      FaultCase{"ArityFarAway", {{0, 3}, {1, 2}, {1, 3}, {0, 1, 2}}, 1},
                      FaultCase{"UnconnectedAfterSwaps", {{0, 3}, {3, 6}}, 2},
                      FaultCase{"UnconnectedBeforeArity", {{0, 3}, {1, 5}, {0, 1, 2}}, 3},
                      FaultCase{"ArityBeforeUnconnected", {{0, 3}, {0, 1, 2}, {1, 5}}, 3},
                      FaultCase{"NoFault", {{0, 3}, {4, 6}, {2, 0}}, 2}),
    [](const ::testing::TestParamInfo<FaultCase>& param_info) { return param_info.param.name; });

}  // namespace
}  // namespace couplize
