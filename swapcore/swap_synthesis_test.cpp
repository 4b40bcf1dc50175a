#include "swapcore/swap_synthesis.hpp"

#include <gtest/gtest.h>

#include <random>
#include <stdexcept>
#include <string>

#include "swapcore/test_topologies.hpp"

namespace couplize {
namespace {

QubitGraph line(std::uint32_t n) { return fixtures::line_graph(n); }

// Swaps written as plain index pairs.
using Pairs = std::vector<std::pair<std::uint32_t, std::uint32_t>>;

SwapList typed(const Pairs& pairs) {
    SwapList swaps;
    for (auto [a, b] : pairs) swaps.emplace_back(Physical{a}, Physical{b});
    return swaps;
}

SwapList find_swaps(const QubitGraph& graph, const std::vector<std::uint32_t>& qbits,
                    const std::vector<std::uint32_t>& remap) {
    return couplize::find_swaps(*graph.routing_target(), qbits, remap);
}

// Replays swaps on a register and returns, for each qubit, the content that ends up there.
std::vector<std::uint32_t> replay(std::uint32_t n, const SwapList& swaps) {
    std::vector<std::uint32_t> holder(n);
    for (std::uint32_t i = 0; i < n; ++i) holder[i] = i;
    for (auto [a, b] : swaps) std::swap(holder[index(a)], holder[index(b)]);
    return holder;
}

template <typename F>
std::string message_of(F&& f) {
    try {
        f();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "no exception";
}

struct SwapCase {
    std::string name;
    std::vector<std::uint32_t> qbits, remap;
    Pairs expected;
};

class FindSwapsOnLine : public ::testing::TestWithParam<SwapCase> {};

TEST_P(FindSwapsOnLine, GivesExpectedSwaps) {
    QubitGraph g = line(3);
    EXPECT_EQ(find_swaps(g, GetParam().qbits, GetParam().remap), typed(GetParam().expected));
}

INSTANTIATE_TEST_SUITE_P(
    Line3, FindSwapsOnLine,
    ::testing::Values(SwapCase{"empty", {}, {}, {}}, SwapCase{"identity", {0, 1, 2}, {0, 1, 2}, {}},
                      // A 2-cycle at distance 2: there and back along 0-1-2, nothing cancels.
                      SwapCase{"transposition", {0, 1, 2}, {2, 1, 0}, {{0, 1}, {1, 2}, {0, 1}}},
                      // 0->1->2->0: (0,1) then (0,1)(1,2)(0,1); the two leading (0,1) cancel.
                      SwapCase{"three_cycle", {0, 1, 2}, {1, 2, 0}, {{1, 2}, {0, 1}}}),
    [](const auto& param_info) { return param_info.param.name; });

struct CancelCase {
    std::string name;
    Pairs swaps, expected;
};

class CancelInversePairs : public ::testing::TestWithParam<CancelCase> {};

TEST_P(CancelInversePairs, KeepsOnlySurvivors) {
    EXPECT_EQ(cancel_inverse_pairs(typed(GetParam().swaps), 4), typed(GetParam().expected));
}

INSTANTIATE_TEST_SUITE_P(
    Pairs, CancelInversePairs,
    ::testing::Values(
        CancelCase{"nested_disjoint", {{0, 1}, {2, 3}, {2, 3}, {0, 1}}, {}},
        CancelCase{"nested_sharing_a_qubit", {{0, 1}, {1, 2}, {1, 2}, {0, 1}}, {}},
        CancelCase{"reversed_orientation", {{0, 1}, {1, 0}}, {}},
        // A swap on other qubits in between commutes, so the outer pair still cancels.
        CancelCase{"across_disjoint_swap", {{0, 1}, {2, 3}, {0, 1}}, {{2, 3}}},
        // A swap sharing one qubit in between blocks the cancellation.
        CancelCase{"blocked", {{0, 1}, {1, 2}, {0, 1}}, {{0, 1}, {1, 2}, {0, 1}}},
        CancelCase{"triple", {{0, 1}, {0, 1}, {0, 1}}, {{0, 1}}}),
    [](const auto& param_info) { return param_info.param.name; });

TEST(FindSwaps, MovesEveryStateToItsTarget) {
    // Property over random permutations of random qubit subsets of a 3x3 grid.
    QubitGraph g(9);
    for (std::uint32_t r = 0; r < 3; ++r)
        for (std::uint32_t c = 0; c < 3; ++c) {
            if (c + 1 < 3) g.add_edge(r * 3 + c, r * 3 + c + 1);
            if (r + 1 < 3) g.add_edge(r * 3 + c, (r + 1) * 3 + c);
        }
    std::mt19937 rng(7);
    for (int round = 0; round < 200; ++round) {
        std::vector<std::uint32_t> all(9);
        for (std::uint32_t i = 0; i < 9; ++i) all[i] = i;
        std::shuffle(all.begin(), all.end(), rng);
        const std::size_t k = rng() % 10;
        std::vector<std::uint32_t> qbits(all.begin(), all.begin() + k), remap(k);
        for (std::uint32_t i = 0; i < k; ++i) remap[i] = i;
        std::shuffle(remap.begin(), remap.end(), rng);
        const SwapList swaps = find_swaps(g, qbits, remap);
        const std::vector<std::uint32_t> holder = replay(9, swaps);
        std::vector<std::uint32_t> expected(9);
        for (std::uint32_t i = 0; i < 9; ++i) expected[i] = i;
        for (std::size_t i = 0; i < k; ++i) expected[qbits[remap[i]]] = qbits[i];
        ASSERT_EQ(holder, expected) << "round " << round;
        for (std::size_t i = 0; i < swaps.size(); ++i) {
            ASSERT_EQ(g.distance(index(swaps[i].first), index(swaps[i].second)), 1u);
            if (i > 0) {
                ASSERT_NE(swaps[i], swaps[i - 1]) << "an adjacent pair survived";
            }
        }
    }
}

TEST(FindSwaps, CycleAcrossComponentsThrowsInvalidArgument) {
    QubitGraph g(6);
    g.add_edge(0, 1);
    g.add_edge(2, 3);
    g.add_edge(4, 5);
    EXPECT_EQ(find_swaps(g, {0, 1, 2, 3}, {1, 0, 3, 2}), typed({{0, 1}, {2, 3}}));
    // The first cycle (qubits 0 and 1) is fine; the second joins qubits 2 and 4.
    EXPECT_EQ(message_of([&] { find_swaps(g, {0, 1, 2, 4}, {1, 0, 3, 2}); }),
              "Impossible to transform the classical remap into quantum swaps (the graph is not "
              "connected)");
    EXPECT_THROW(find_swaps(g, {0, 1, 2, 4}, {1, 0, 3, 2}), std::invalid_argument);
}

struct BadRemap {
    std::string name;
    std::vector<std::uint32_t> qbits, remap;
    std::string message;
};

class FindSwapsRejects : public ::testing::TestWithParam<BadRemap> {};

TEST_P(FindSwapsRejects, WithClearMessage) {
    QubitGraph g = line(3);
    EXPECT_EQ(message_of([&] { find_swaps(g, GetParam().qbits, GetParam().remap); }),
              GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    BadInput, FindSwapsRejects,
    ::testing::Values(
        BadRemap{"qubit_outside",
                 {0, 3},
                 {1, 0},
                 "The remap acts on qubit 3, which is not in the graph (3 qubits)"},
        BadRemap{"fixed_point_outside",
                 {0, 7},
                 {0, 1},
                 "The remap acts on qubit 7, which is not in the graph (3 qubits)"},
        BadRemap{"repeated_position",
                 {0, 1, 2},
                 {1, 1, 0},
                 "The remap is not a permutation of its positions: 1 appears twice"},
        BadRemap{"position_too_large",
                 {0, 1},
                 {0, 2},
                 "The remap is not a permutation of its positions: entry 1 is 2, not below 2"},
        BadRemap{"repeated_qubit", {1, 1}, {1, 0}, "The remap lists qubit 1 twice"},
        BadRemap{"length_mismatch", {0, 1}, {0}, "The remap lists 2 qubits but has 1 entries"}),
    [](const auto& param_info) { return param_info.param.name; });

// The marking as a repeated sweep over each qubit wire until nothing changes: the reference
// the single-pass implementation must agree with.
std::set<int> middle_by_sweeps(const GateList& gates, std::uint32_t n) {
    const int m = static_cast<int>(gates.size());
    std::vector<std::vector<int>> wire(n);  // entries on each qubit, in order
    for (int e = 0; e < m; ++e)
        for (std::uint32_t q : gates[e].second) wire[q].push_back(e);
    auto mark = [&](bool forward) {
        std::set<int> marked;
        for (bool inserted = true; inserted;) {
            inserted = false;
            for (std::uint32_t q = 0; q < n; ++q) {
                bool clean = true;
                const std::size_t len = wire[q].size();
                for (std::size_t i = 0; i < len; ++i) {
                    const int e = wire[q][forward ? i : len - 1 - i];
                    if (marked.count(e)) {
                        clean = false;
                    } else if (gates[e].first && !clean) {
                        inserted = marked.insert(e).second || inserted;
                    } else {
                        clean = clean && gates[e].first;
                    }
                }
            }
        }
        return marked;
    };
    const std::set<int> f = mark(true), b = mark(false);
    std::set<int> both;
    for (int e : f)
        if (b.count(e)) both.insert(e);
    return both;
}

struct MiddleCase {
    std::string name;
    GateList gates;
    std::uint32_t n;
    std::set<int> expected;
};

class FindMiddleSwaps : public ::testing::TestWithParam<MiddleCase> {};

TEST_P(FindMiddleSwaps, MatchesClosedForm) {
    EXPECT_EQ(find_middle_swaps(GetParam().gates, GetParam().n), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Examples, FindMiddleSwaps,
    ::testing::Values(
        MiddleCase{"between_gates", {{false, {0}}, {true, {0, 1}}, {false, {1}}}, 2, {1}},
        MiddleCase{"at_start", {{true, {0, 1}}, {false, {0, 1}}}, 2, {}},
        MiddleCase{"at_end", {{false, {0, 1}}, {true, {0, 1}}}, 2, {}},
        MiddleCase{"no_qubits", {{false, {0}}, {true, {}}, {false, {0}}}, 1, {}},
        // Gates on different qubits before and after: still in the middle.
        MiddleCase{"before_on_one_after_on_other",
                   {{false, {0}}, {true, {0, 1}}, {false, {1}}, {false, {0}}},
                   2,
                   {1}},
        // A remap after a middle remap inherits the gate before it through the chain.
        MiddleCase{"chain_of_remaps",
                   {{false, {0}}, {true, {0, 1}}, {true, {1, 2}}, {false, {2}}},
                   3,
                   {1, 2}},
        // A remap on qubits that no gate precedes stays movable to the start.
        MiddleCase{
            "independent_wires", {{false, {0}}, {true, {1, 2}}, {false, {1}}, {false, {0}}}, 3, {}},
        MiddleCase{"empty", {}, 4, {}}),
    [](const auto& param_info) { return param_info.param.name; });

TEST(FindMiddleSwaps, AgreesWithRepeatedSweeps) {
    std::mt19937 rng(3);
    for (int round = 0; round < 300; ++round) {
        const std::uint32_t n = 1 + rng() % 5;
        GateList gates;
        const int m = static_cast<int>(rng() % 12);
        for (int e = 0; e < m; ++e) {
            std::vector<std::uint32_t> pool(n);
            for (std::uint32_t q = 0; q < n; ++q) pool[q] = q;
            std::shuffle(pool.begin(), pool.end(), rng);
            const std::size_t arity = rng() % (std::min<std::uint32_t>(n, 3) + 1);
            gates.push_back({rng() % 2 == 0, {pool.begin(), pool.begin() + arity}});
        }
        ASSERT_EQ(find_middle_swaps(gates, n), middle_by_sweeps(gates, n)) << "round " << round;
    }
}

TEST(FindMiddleSwaps, RejectsBadQubits) {
    EXPECT_EQ(message_of([] { find_middle_swaps({{false, {0}}, {true, {0, 2}}}, 2); }),
              "Qubit 2 of entry 1 is not below the number of qubits (2)");
    EXPECT_EQ(message_of([] { find_middle_swaps({{false, {1, 1}}}, 2); }),
              "An entering edge with the same label is already defined (see second_index "
              "predecessor)");
}

}  // namespace
}  // namespace couplize
