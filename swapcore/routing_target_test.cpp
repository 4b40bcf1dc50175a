#include "swapcore/routing_target.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "swapcore/qubit_graph.hpp"
#include "swapcore/test_topologies.hpp"

namespace couplize {
namespace {

using fixtures::Edges;
using fixtures::make_graph;

std::vector<std::uint32_t> indices(const std::vector<Physical>& path) {
    std::vector<std::uint32_t> result;
    for (Physical p : path) result.push_back(index(p));
    return result;
}

Edges random_edges(std::uint32_t n, std::uint32_t extra, unsigned seed) {
    std::mt19937 rng(seed);
    Edges edges;
    for (std::uint32_t v = 1; v < n; ++v)
        if (rng() % 5 != 0)  // some vertices stay apart: several components
            edges.emplace_back(std::uniform_int_distribution<std::uint32_t>(0, v - 1)(rng), v);
    std::uniform_int_distribution<std::uint32_t> any(0, n - 1);
    for (std::uint32_t k = 0; k < extra; ++k) edges.emplace_back(any(rng), any(rng));
    return edges;
}

class RandomTargets : public ::testing::TestWithParam<unsigned> {};

// The target's pure path equals the graph's answer to a first query, for every ordered pair,
// and its distances and diameter agree with it.
TEST_P(RandomTargets, PathsAndDistancesMatchTheGraph) {
    const std::uint32_t n = 3 + GetParam() % 17;
    const QubitGraph pristine = make_graph(n, random_edges(n, GetParam() % 7, GetParam()));
    const std::shared_ptr<const RoutingTarget> target = pristine.routing_target();
    ASSERT_EQ(target->nb_physical(), n);
    std::uint32_t diameter = 0;
    for (std::uint32_t i = 0; i < n; ++i)
        for (std::uint32_t j = 0; j < n; ++j) {
            QubitGraph graph = pristine;
            const std::vector<std::uint32_t> expected = graph.path(i, j);
            ASSERT_EQ(indices(target->path(Physical{i}, Physical{j})), expected)
                << "path(" << i << ", " << j << ")";
            const std::uint32_t d = target->distance(Physical{i}, Physical{j});
            ASSERT_EQ(d, expected.empty() ? RoutingTarget::kUnreachable
                                          : static_cast<std::uint32_t>(expected.size() - 1));
            if (!expected.empty()) diameter = std::max(diameter, d);
        }
    EXPECT_EQ(target->diameter(), diameter);
}

INSTANTIATE_TEST_SUITE_P(Seeded, RandomTargets, ::testing::Range(1u, 25u));

TEST(RoutingTarget, NeighbourRowsKeepTheGraphsOrderAndDuplicates) {
    const QubitGraph graph = make_graph(4, {{0, 2}, {0, 1}, {2, 0}, {3, 3}});
    const std::shared_ptr<const RoutingTarget> target = graph.routing_target();
    const auto row = target->neighbours(Physical{0});
    EXPECT_EQ(indices({row.begin(), row.end()}), (std::vector<std::uint32_t>{2, 1, 2}));
    EXPECT_TRUE(target->neighbours(Physical{3}).empty());
    EXPECT_EQ(target->max_degree(), 3u);
    EXPECT_EQ(target->diameter(), 2u);
}

// A snapshot is shared by copies of the graph, survives a later add_edge unchanged, and the
// changed graph hands out a new one.
TEST(RoutingTarget, OneSnapshotPerTopologyVersion) {
    QubitGraph graph = make_graph(3, {{0, 1}});
    const std::shared_ptr<const RoutingTarget> before = graph.routing_target();
    EXPECT_EQ(graph.routing_target(), before);
    const QubitGraph copy = graph;
    EXPECT_EQ(copy.routing_target(), before);
    graph.add_edge(1, 2);
    const std::shared_ptr<const RoutingTarget> after = graph.routing_target();
    EXPECT_NE(after, before);
    EXPECT_EQ(before->distance(Physical{0}, Physical{2}), RoutingTarget::kUnreachable);
    EXPECT_EQ(after->distance(Physical{0}, Physical{2}), 2u);
    EXPECT_EQ(copy.routing_target(), before);
}

// Many threads ask one graph for its snapshot and read it at once (the thread sanitizer pass of
// the test command runs this): all get the same object and the same answers.
TEST(RoutingTarget, ConcurrentReadersShareOneSnapshot) {
    const QubitGraph graph = make_graph(30, fixtures::grid_edges(5, 6));
    std::vector<std::shared_ptr<const RoutingTarget>> seen(8);
    std::vector<std::uint64_t> sums(8, 0);
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < seen.size(); ++t)
        threads.emplace_back([&, t] {
            seen[t] = graph.routing_target();
            for (std::uint32_t i = 0; i < 30; ++i)
                for (std::uint32_t j = 0; j < 30; ++j)
                    sums[t] +=
                        seen[t]->path(Physical{i}, Physical{j}).size() + graph.distance(i, j);
        });
    for (std::thread& thread : threads) thread.join();
    for (std::size_t t = 1; t < seen.size(); ++t) {
        EXPECT_EQ(seen[t], seen[0]);
        EXPECT_EQ(sums[t], sums[0]);
    }
}

}  // namespace
}  // namespace couplize
