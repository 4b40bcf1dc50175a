#include "swapcore/qubit_graph.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <random>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "swapcore/test_topologies.hpp"

namespace couplize {
namespace {

using Path = std::vector<std::uint32_t>;
using fixtures::Edges;
using fixtures::make_graph;

// Straightforward shortest-path search with a linear selection scan: vertices are finalised in
// (distance, index) order and keep the first finalised neighbour that reached them. Written
// independently of QubitGraph so that the breadth-first search can be checked against it.
Path reference_path(std::uint32_t n, const std::vector<Path>& adjacency, std::uint32_t i,
                    std::uint32_t j) {
    std::vector<std::uint32_t> dist(n, 0), prev(n, 0);
    std::vector<bool> done(n, false);
    for (std::uint32_t v : adjacency[i]) {
        dist[v] = 1;
        prev[v] = i;
    }
    dist[i] = 0;
    done[i] = true;
    while (!done[j]) {
        bool found = false;
        std::uint32_t u = 0;
        for (std::uint32_t k = 0; k < n; ++k) {
            if (done[k] || dist[k] == 0) continue;
            if (!found || dist[k] < dist[u]) {
                u = k;
                found = true;
            }
        }
        if (!found) return {};
        const std::uint32_t d = dist[u];
        for (std::uint32_t v : adjacency[u]) {
            if (v == i) continue;
            if (dist[v] == 0 || dist[v] > d + 1) {
                dist[v] = d + 1;
                prev[v] = u;
            }
        }
        done[u] = true;
    }
    Path reversed{j};
    while (reversed.back() != i) reversed.push_back(prev[reversed.back()]);
    return {reversed.rbegin(), reversed.rend()};
}

std::vector<Path> adjacency_of(std::uint32_t n, const Edges& edges) {
    std::vector<Path> adjacency(n);
    for (auto [a, b] : edges) {
        if (a == b || a >= n || b >= n) continue;
        adjacency[a].push_back(b);
        adjacency[b].push_back(a);
    }
    return adjacency;
}

// --- tie-break examples -------------------------------------------------------------------

struct PathCase {
    std::string name;
    std::uint32_t n;
    Edges edges;
    // Queries asked in order on one graph, with the expected answer of each.
    std::vector<std::pair<std::pair<std::uint32_t, std::uint32_t>, Path>> queries;
};

class PathSequence : public ::testing::TestWithParam<PathCase> {};

TEST_P(PathSequence, AnswersInOrder) {
    const PathCase& c = GetParam();
    QubitGraph graph = make_graph(c.n, c.edges);
    for (const auto& [query, expected] : c.queries)
        EXPECT_EQ(graph.path(query.first, query.second), expected)
            << "path(" << query.first << ", " << query.second << ")";
}

const Edges kSixEdges{{0, 1}, {1, 4}, {4, 5}, {0, 2}, {2, 3}, {3, 5}};

INSTANTIATE_TEST_SUITE_P(
    TieBreak, PathSequence,
    ::testing::Values(
        PathCase{"LineForward", 4, {{0, 1}, {1, 2}, {2, 3}}, {{{0, 3}, {0, 1, 2, 3}}}},
        PathCase{"LineBackward", 4, {{0, 1}, {1, 2}, {2, 3}}, {{{3, 0}, {3, 2, 1, 0}}}},
        PathCase{"LineInner", 4, {{0, 1}, {1, 2}, {2, 3}}, {{{2, 1}, {2, 1}}, {{1, 3}, {1, 2, 3}}}},
        // Vertex 1 is finalised before vertex 2, so it becomes 3's predecessor; the reverse query
        // is then served from the cache rather than searched (a search from 3 gives the same).
        PathCase{"Square",
                 4,
                 {{0, 1}, {1, 3}, {0, 2}, {2, 3}},
                 {{{0, 3}, {0, 1, 3}}, {{3, 0}, {3, 1, 0}}}},
        // A search from 5 would give [5, 4, 1, 0] (1 is finalised before 2), but the cache
        // returns the reverse of the first answer.
        PathCase{"SixEdgesCached", 6, kSixEdges, {{{0, 5}, {0, 2, 3, 5}}, {{5, 0}, {5, 3, 2, 0}}}},
        PathCase{"SixEdgesFresh", 6, kSixEdges, {{{5, 0}, {5, 4, 1, 0}}, {{0, 5}, {0, 1, 4, 5}}}},
        // Edge insertion order does not matter for the tie-break, only indices do.
        PathCase{"SixEdgesReversedInsertion",
                 6,
                 {{3, 5}, {2, 3}, {0, 2}, {4, 5}, {1, 4}, {0, 1}},
                 {{{0, 5}, {0, 2, 3, 5}}}},
        PathCase{"SelfPath", 3, {{0, 1}, {1, 2}}, {{{1, 1}, {1}}, {{1, 1}, {1}}}},
        PathCase{"Isolated", 3, {}, {{{0, 0}, {0}}, {{0, 2}, {}}}},
        PathCase{"TwoComponents",
                 5,
                 {{0, 1}, {2, 3}, {3, 4}},
                 {{{0, 4}, {}}, {{4, 0}, {}}, {{2, 4}, {2, 3, 4}}}},
        PathCase{"DuplicateEdges", 3, {{0, 1}, {0, 1}, {1, 2}, {1, 2}}, {{{2, 0}, {2, 1, 0}}}},
        PathCase{
            "IgnoredEdges", 3, {{0, 0}, {0, 3}, {7, 1}, {1, 2}}, {{{0, 2}, {}}, {{1, 2}, {1, 2}}}}),
    [](const ::testing::TestParamInfo<PathCase>& param_info) { return param_info.param.name; });

TEST(QubitGraph, FreshCopyTakenBeforeTheQuerySearchesAgain) {
    QubitGraph graph = make_graph(6, kSixEdges);
    QubitGraph before = graph;
    EXPECT_EQ(graph.path(0, 5), (Path{0, 2, 3, 5}));
    QubitGraph after = graph;  // value copy: the cache comes along
    EXPECT_EQ(before.path(5, 0), (Path{5, 4, 1, 0}));
    EXPECT_EQ(after.path(5, 0), (Path{5, 3, 2, 0}));
    EXPECT_EQ(graph.path(5, 0), (Path{5, 3, 2, 0}));
}

TEST(QubitGraph, UnreachableIsSearchedAgainAfterAConnectingEdge) {
    QubitGraph graph = make_graph(4, {{0, 1}, {2, 3}});
    EXPECT_TRUE(graph.path(0, 3).empty());
    graph.add_edge(1, 2);
    EXPECT_EQ(graph.path(0, 3), (Path{0, 1, 2, 3}));
    EXPECT_EQ(graph.distance(0, 3), 3u);
}

TEST(QubitGraph, AddEdgeEmptiesTheCache) {
    QubitGraph graph = make_graph(5, {{0, 1}, {1, 2}, {2, 3}, {3, 4}});
    EXPECT_EQ(graph.path(0, 4), (Path{0, 1, 2, 3, 4}));
    EXPECT_EQ(graph.distance(0, 4), 4u);
    graph.add_edge(1, 4);
    EXPECT_EQ(graph.path(0, 4), (Path{0, 1, 4}));
    EXPECT_EQ(graph.path(4, 0), (Path{4, 1, 0}));
    EXPECT_EQ(graph.distance(0, 4), 2u);
    EXPECT_EQ(graph.distance(4, 0), 2u);
}

TEST(QubitGraph, IgnoredEdgeKeepsTheCache) {
    // Uses the six-edge graph, whose cached reverse answer differs from a fresh search.
    QubitGraph graph = make_graph(6, kSixEdges);
    EXPECT_EQ(graph.path(0, 5), (Path{0, 2, 3, 5}));
    graph.add_edge(2, 2);
    graph.add_edge(0, 6);
    EXPECT_EQ(graph.path(5, 0), (Path{5, 3, 2, 0}));
    graph.add_edge(1, 2);  // does not shorten anything, but empties the cache
    EXPECT_EQ(graph.path(5, 0), (Path{5, 4, 1, 0}));
}

TEST(QubitGraph, NeighboursInInsertionOrderWithDuplicates) {
    QubitGraph graph(4);
    graph.add_edge(0, 3);
    graph.add_edge(0, 1);
    graph.add_edge(0, 1);
    graph.add_edge(2, 2);
    graph.add_edge(0, 4);
    graph.add_edge(4, 0);
    EXPECT_EQ(graph.neighbours(0), (Path{3, 1, 1}));
    EXPECT_EQ(graph.neighbours(1), (Path{0, 0}));
    EXPECT_TRUE(graph.neighbours(2).empty());
    EXPECT_EQ(graph.neighbours(3), (Path{0}));
    EXPECT_EQ(graph.get_nbqubits(), 4u);
}

TEST(QubitGraph, NodeOutsideTheGraph) {
    QubitGraph graph(3);
    try {
        graph.neighbours(3);
        FAIL() << "expected std::invalid_argument";
    } catch (const std::invalid_argument& error) {
        EXPECT_STREQ(error.what(), "The given node is not is the graph");
    }
    EXPECT_THROW(graph.neighbours(4000000000u), std::invalid_argument);
    EXPECT_THROW(graph.path(0, 3), std::invalid_argument);
    EXPECT_THROW(graph.path(3, 0), std::invalid_argument);
    EXPECT_THROW(graph.distance(0, 3), std::invalid_argument);
    EXPECT_THROW(graph.distance(3, 3), std::invalid_argument);
}

TEST(QubitGraph, EmptyGraph) {
    QubitGraph graph;
    EXPECT_EQ(graph.get_nbqubits(), 0u);
    graph.add_edge(0, 1);
    EXPECT_THROW(graph.neighbours(0), std::invalid_argument);
    EXPECT_THROW(graph.path(0, 0), std::invalid_argument);
    EXPECT_TRUE(graph.routing_target()->distances().empty());
}

TEST(QubitGraph, DistanceTable) {
    QubitGraph graph = make_graph(4, {{0, 1}, {1, 2}});
    const std::vector<std::uint32_t> expected{0,
                                              1,
                                              2,
                                              QubitGraph::unreachable,  //
                                              1,
                                              0,
                                              1,
                                              QubitGraph::unreachable,  //
                                              2,
                                              1,
                                              0,
                                              QubitGraph::unreachable,  //
                                              QubitGraph::unreachable,
                                              QubitGraph::unreachable,
                                              QubitGraph::unreachable,
                                              0};
    EXPECT_EQ(graph.routing_target()->distances(), expected);
    EXPECT_TRUE(graph.are_neighbours(1, 2));
    EXPECT_FALSE(graph.are_neighbours(0, 2));
    EXPECT_FALSE(graph.are_neighbours(0, 0));
    graph.add_edge(2, 3);
    EXPECT_EQ(graph.distance(0, 3), 3u);
    EXPECT_EQ(graph.routing_target()->distances()[3], 3u);
}

// --- property check against the reference search on random graphs -------------------------

struct RandomGraph {
    std::uint32_t n;
    Edges edges;
};

// `extra` random edges over `n` vertices, optionally on top of a random spanning tree; ids
// outside the graph, loops and repeats are mixed in on purpose.
RandomGraph random_graph(std::uint32_t n, std::uint32_t extra, bool connected, unsigned seed) {
    std::mt19937 rng(seed);
    RandomGraph g{n, {}};
    if (connected)
        for (std::uint32_t v = 1; v < n; ++v)
            g.edges.emplace_back(std::uniform_int_distribution<std::uint32_t>(0, v - 1)(rng), v);
    std::uniform_int_distribution<std::uint32_t> any(0, n);  // n itself is out of range
    for (std::uint32_t k = 0; k < extra; ++k) g.edges.emplace_back(any(rng), any(rng));
    std::shuffle(g.edges.begin(), g.edges.end(), rng);
    return g;
}

struct RandomCase {
    std::uint32_t n;
    std::uint32_t extra;
    bool connected;
    unsigned seed;
};

class RandomGraphs : public ::testing::TestWithParam<RandomCase> {
protected:
    void SetUp() override {
        const RandomCase& c = GetParam();
        spec_ = random_graph(c.n, c.extra, c.connected, c.seed);
        adjacency_ = adjacency_of(spec_.n, spec_.edges);
    }
    RandomGraph spec_;
    std::vector<Path> adjacency_;
};

TEST_P(RandomGraphs, FreshPathMatchesSelectionScanSearch) {
    const QubitGraph pristine = make_graph(spec_.n, spec_.edges);
    for (std::uint32_t i = 0; i < spec_.n; ++i)
        for (std::uint32_t j = 0; j < spec_.n; ++j) {
            QubitGraph graph = pristine;
            ASSERT_EQ(graph.path(i, j), reference_path(spec_.n, adjacency_, i, j))
                << "path(" << i << ", " << j << ")";
        }
}

TEST_P(RandomGraphs, CachedAnswersFollowTheFirstQueryOfThePair) {
    QubitGraph graph = make_graph(spec_.n, spec_.edges);
    std::mt19937 rng(GetParam().seed + 1);
    std::uniform_int_distribution<std::uint32_t> any(0, spec_.n - 1);
    std::map<std::pair<std::uint32_t, std::uint32_t>, Path> first_answer;
    for (int k = 0; k < 400; ++k) {
        const std::uint32_t i = any(rng), j = any(rng);
        Path expected;
        if (auto it = first_answer.find({j, i}); it != first_answer.end() && !it->second.empty())
            expected.assign(it->second.rbegin(), it->second.rend());
        else if (auto same = first_answer.find({i, j}); same != first_answer.end())
            expected = same->second;
        else
            expected = reference_path(spec_.n, adjacency_, i, j);
        first_answer.emplace(std::make_pair(i, j), expected);
        ASSERT_EQ(graph.path(i, j), expected)
            << "query " << k << ": path(" << i << ", " << j << ")";
    }
}

TEST_P(RandomGraphs, DistanceAgreesWithPathLength) {
    QubitGraph graph = make_graph(spec_.n, spec_.edges);
    for (std::uint32_t i = 0; i < spec_.n; ++i)
        for (std::uint32_t j = 0; j < spec_.n; ++j) {
            const Path path = graph.path(i, j);
            const std::uint32_t expected = path.empty()
                                               ? QubitGraph::unreachable
                                               : static_cast<std::uint32_t>(path.size() - 1);
            ASSERT_EQ(graph.distance(i, j), expected) << i << " -> " << j;
            ASSERT_EQ(graph.distance(j, i), expected) << j << " -> " << i;
        }
}

TEST_P(RandomGraphs, PathsAreWalksAlongEdges) {
    QubitGraph graph = make_graph(spec_.n, spec_.edges);
    for (std::uint32_t i = 0; i < spec_.n; ++i)
        for (std::uint32_t j = 0; j < spec_.n; ++j) {
            const Path path = graph.path(i, j);
            if (path.empty()) continue;
            ASSERT_EQ(path.front(), i);
            ASSERT_EQ(path.back(), j);
            for (std::size_t k = 1; k < path.size(); ++k)
                ASSERT_EQ(graph.distance(path[k - 1], path[k]), 1u);
        }
}

INSTANTIATE_TEST_SUITE_P(Seeded, RandomGraphs,
                         ::testing::Values(RandomCase{2, 1, false, 1}, RandomCase{7, 3, true, 2},
                                           RandomCase{12, 0, true, 3}, RandomCase{16, 6, false, 4},
                                           RandomCase{20, 30, true, 5},
                                           RandomCase{25, 12, false, 6},
                                           RandomCase{40, 15, true, 7},
                                           RandomCase{40, 120, true, 8},
                                           RandomCase{60, 40, false, 9}),
                         [](const ::testing::TestParamInfo<RandomCase>& param_info) {
                             const RandomCase& c = param_info.param;
                             return "n" + std::to_string(c.n) + "_extra" + std::to_string(c.extra) +
                                    (c.connected ? "_tree" : "_sparse") + "_seed" +
                                    std::to_string(c.seed);
                         });

// A grid has many equal-length routes, so every tie-break is exercised.
TEST(QubitGraph, GridMatchesSelectionScanSearch) {
    const std::uint32_t rows = 6, cols = 7, n = rows * cols;
    Edges edges;
    for (std::uint32_t r = 0; r < rows; ++r)
        for (std::uint32_t c = 0; c < cols; ++c) {
            const std::uint32_t q = r * cols + c;
            if (r + 1 < rows) edges.emplace_back(q + cols, q);
            if (c + 1 < cols) edges.emplace_back(q + 1, q);
        }
    const auto adjacency = adjacency_of(n, edges);
    const QubitGraph pristine = make_graph(n, edges);
    for (std::uint32_t i = 0; i < n; ++i)
        for (std::uint32_t j = 0; j < n; ++j) {
            QubitGraph graph = pristine;
            ASSERT_EQ(graph.path(i, j), reference_path(n, adjacency, i, j)) << i << " -> " << j;
        }
}

}  // namespace
}  // namespace couplize
