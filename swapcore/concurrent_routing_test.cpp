// Several threads routing on one shared RoutingTarget get exactly the results of sequential
// routing: the target is immutable and every path finder keeps its own state. Also run under
// ThreadSanitizer by tests/run (the name matches "Concurrent").
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "swapcore/path_finder.hpp"
#include "swapcore/swap_synthesis.hpp"
#include "swapcore/test_topologies.hpp"

namespace couplize {
namespace {

struct Routed {
    GateList path;
    std::vector<std::uint32_t> order;
    bool operator==(const Routed&) const = default;
};

struct Remap {
    std::vector<std::uint32_t> qbits, remap;
};

// A 4x4 grid with three diagonals: many equally short paths, so the choice among them matters.
std::shared_ptr<const RoutingTarget> shared_target() {
    fixtures::Edges edges = fixtures::grid_edges(4, 4);
    edges.emplace_back(0, 5);
    edges.emplace_back(6, 11);
    edges.emplace_back(9, 14);
    return fixtures::make_graph(16, edges).routing_target();
}

std::vector<std::vector<Interaction>> random_circuits(std::size_t count, std::mt19937& rng) {
    std::vector<std::vector<Interaction>> circuits(count);
    for (auto& circuit : circuits)
        for (int k = 0; k < 60; ++k) {
            const std::uint32_t a = rng() % 16, b = (a + 1 + rng() % 15) % 16;
            circuit.push_back(k % 7 == 3 ? Interaction{a} : Interaction{a, b});
        }
    return circuits;
}

std::vector<Remap> random_remaps(std::size_t count, std::mt19937& rng) {
    std::vector<Remap> remaps(count);
    for (Remap& r : remaps) {
        std::vector<std::uint32_t> all(16);
        for (std::uint32_t q = 0; q < 16; ++q) all[q] = q;
        std::shuffle(all.begin(), all.end(), rng);
        const std::size_t k = 2 + rng() % 14;
        r.qbits.assign(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(k));
        r.remap.resize(k);
        for (std::uint32_t i = 0; i < k; ++i) r.remap[i] = i;
        std::shuffle(r.remap.begin(), r.remap.end(), rng);
    }
    return remaps;
}

// Circuit c routed with the pruned choice (even c) or by enumeration with a look-ahead-free
// fewest-entries choice (odd c), on `finder` (reused from one circuit to the next).
Routed route(PathFinder& finder, const std::vector<Interaction>& circuit, std::size_t c) {
    finder.set_interaction_list(circuit);
    if (c % 2 == 0) {
        finder.route_fewest(c % 4 == 2);
    } else {
        finder.step(0);
        while (finder.candidates().size() > 0 && finder.candidates().length(0) > 0)
            finder.step(static_cast<std::size_t>(fewest_entries_index(finder.candidates())));
    }
    Routed result;
    for (const PathStep& s : finder.base_path()) result.path.push_back(s.to_gate());
    result.order = finder.get_order();
    return result;
}

TEST(Velor, ConcurrentRoutingsShareOneTarget) {
    const std::shared_ptr<const RoutingTarget> target = shared_target();
    std::mt19937 rng(11);
    const auto circuits = random_circuits(8, rng);
    const auto remaps = random_remaps(8, rng);

    std::vector<Routed> expected_routes;
    std::vector<SwapList> expected_swaps;
    {
        PathFinder finder(target, 3);
        for (std::size_t c = 0; c < circuits.size(); ++c)
            expected_routes.push_back(route(finder, circuits[c], c));
        for (const Remap& r : remaps)
            expected_swaps.push_back(find_swaps(*target, r.qbits, r.remap));
    }

    constexpr std::size_t kThreads = 4;
    std::vector<std::vector<Routed>> routes(kThreads, std::vector<Routed>(circuits.size()));
    std::vector<std::vector<SwapList>> swaps(kThreads, std::vector<SwapList>(remaps.size()));
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            // Each thread starts at a different circuit, so the shared target is read for
            // different pairs at the same moment.
            PathFinder finder(target, 3);
            for (std::size_t i = 0; i < circuits.size(); ++i) {
                const std::size_t c = (i + 2 * t) % circuits.size();
                routes[t][c] = route(finder, circuits[c], c);
                const std::size_t r = (i + 3 * t) % remaps.size();
                swaps[t][r] = find_swaps(*target, remaps[r].qbits, remaps[r].remap);
            }
        });
    for (std::thread& thread : threads) thread.join();

    for (std::size_t t = 0; t < kThreads; ++t) {
        EXPECT_EQ(routes[t], expected_routes) << "thread " << t;
        EXPECT_EQ(swaps[t], expected_swaps) << "thread " << t;
    }
}

}  // namespace
}  // namespace couplize
