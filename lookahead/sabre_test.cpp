#include "lookahead/sabre.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <numeric>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "swapcore/test_topologies.hpp"

namespace couplize {
namespace {

using Gates = std::vector<std::vector<std::uint32_t>>;
using fixtures::Edges;
using fixtures::make_graph;

Edges line(std::uint32_t n) { return fixtures::line_edges(n); }

// Hub 0 joined to every other qubit: degrees 1 and n - 1, so neighbour lists are not padded.
Edges star(std::uint32_t n) {
    Edges e;
    for (std::uint32_t i = 1; i < n; ++i) e.emplace_back(0, i);
    return e;
}

// A line whose every edge is given twice: each neighbour comes twice, so do the candidates.
Edges doubled_line(std::uint32_t n) {
    Edges e = line(n);
    const Edges once = e;
    e.insert(e.end(), once.begin(), once.end());
    return e;
}

Edges grid(std::uint32_t rows, std::uint32_t cols) { return fixtures::grid_edges(rows, cols); }

const std::shared_ptr<const RoutingTarget> kNoTopology;

// The physical qubits of a step as plain indices.
std::pair<std::uint32_t, std::uint32_t> qubits_of(const SabreStep& step) {
    return {index(step.first), index(step.second)};
}

std::string message_of(const std::function<void()>& f) {
    try {
        f();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "no exception";
}

class LineOfThree : public testing::TestWithParam<bool> {};

// CNOT on logical 0 and 2 over the line 0-1-2: the candidates (0,1) and (2,1) tie, the first
// wins.
TEST_P(LineOfThree, SwapsTheFirstTiedCandidate) {
    QubitGraph g = make_graph(3, line(3));
    SabreOptions options;
    options.basic_heuristic = GetParam();
    SabreResult r = SabreRouter(g.routing_target(), options).route({{0, 2}}, 3);
    ASSERT_EQ(r.steps.size(), 2u);
    EXPECT_TRUE(r.steps[0].is_swap());
    EXPECT_EQ(qubits_of(r.steps[0]), std::make_pair(1u, 0u));
    EXPECT_EQ(r.steps[1].gate, 0u);
    EXPECT_EQ(qubits_of(r.steps[1]), std::make_pair(1u, 2u));
    EXPECT_EQ(r.final_layout, (std::vector<std::uint32_t>{1, 0, 2}));
    EXPECT_EQ(r.nb_swaps, 1u);
}

INSTANTIATE_TEST_SUITE_P(Heuristics, LineOfThree, testing::Bool());

TEST(SabreRouter, OneQubitCircuitNeedsNoTopology) {
    SabreResult r = SabreRouter(kNoTopology, {}).route({{1}, {0}, {1}}, 2);
    EXPECT_EQ(r.nb_begin_gates, 3u);
    EXPECT_EQ(r.steps[2].gate, 2u);
    EXPECT_EQ(r.steps[2].first, Physical{1});
    EXPECT_EQ(r.final_layout, (std::vector<std::uint32_t>{0, 1}));
    EXPECT_THROW(SabreRouter(kNoTopology, {}).route({{1}, {0, 1}}, 2), MissingTopology);
}

struct StuckCase {
    std::uint32_t nbphysical;
    Edges edges;
    Gates gates;
    std::string message;
};

class Stuck : public testing::TestWithParam<StuckCase> {};

TEST_P(Stuck, RaisesBeforeAnySwap) {
    const StuckCase& c = GetParam();
    QubitGraph g = make_graph(c.nbphysical, c.edges);
    for (bool basic : {true, false}) {
        SabreOptions options;
        options.basic_heuristic = basic;
        EXPECT_EQ(message_of([&] { SabreRouter(g.routing_target(), options).route(c.gates, 4); }),
                  c.message);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Stuck,
    testing::Values(
        // Two components: the pair can never meet.
        StuckCase{4,
                  {{0, 1}, {2, 3}},
                  {{0, 1}, {1, 2}},
                  "Qubits 1 and 2 of a two-qubit gate cannot be brought together: their physical "
                  "qubits 1 and 2 are not connected in the topology"},
        // A qubit without neighbours.
        StuckCase{4,
                  line(3),
                  {{3, 0}},
                  "Qubits 3 and 0 of a two-qubit gate cannot be brought together: their physical "
                  "qubits 3 and 0 are not connected in the topology"}));

// Replays the steps from the initial order: every gate must act on neighbours, and the final
// layout must be where the SWAPs left the qubits. Returns the SWAP count.
std::size_t replay(const SabreResult& r, const Gates& gates, QubitGraph& g) {
    std::vector<std::uint32_t> holder(r.final_layout.size());
    for (std::uint32_t q = 0; q < r.initial_order.size(); ++q) holder[r.initial_order[q]] = q;
    std::size_t swaps = 0;
    for (const SabreStep& step : r.steps) {
        const auto [first, second] = qubits_of(step);
        if (step.second != SabreStep::kNone) {
            EXPECT_EQ(g.distance(first, second), 1u);
        }
        if (step.is_swap()) {
            std::swap(holder[first], holder[second]);
            ++swaps;
        } else {
            EXPECT_EQ(holder[first], gates[step.gate][0]);
            if (step.second != SabreStep::kNone) {
                EXPECT_EQ(holder[second], gates[step.gate][1]);
            }
        }
    }
    EXPECT_EQ(holder, r.final_layout);
    return swaps;
}

// The smallest circuit found on which the default heuristic circles for ever on a line of 20:
// the valve brings the closest front pair together and routing goes on.
TEST(Release, RoutesTheCirclingCircuitOnALine) {
    QubitGraph g = make_graph(20, line(20));
    const Gates gates{{1, 16}, {7, 17}, {16, 17}, {4, 18}, {2, 19}};
    SabreRouter router(g.routing_target(), {});
    EXPECT_EQ(router.release_after(),
              SabreOptions::kReleaseFactor * 19 + SabreOptions::kReleaseBase);
    const SabreResult r = router.route(gates, 20);
    EXPECT_GE(r.nb_releases, 1u);
    EXPECT_EQ(replay(r, gates, g), r.nb_swaps);
    EXPECT_EQ(r.steps.size(), gates.size() + r.nb_swaps);
}

// release_after 1 on (0,3) over a line: one heuristic SWAP, then the valve walks the qubits
// together along the line, alternating ends, and the gate runs.
TEST(Release, WalksAlongAShortestPath) {
    QubitGraph g = make_graph(6, line(6));
    SabreOptions options;
    options.release_after = 1;
    const Gates gates{{0, 5}};
    const SabreResult r = SabreRouter(g.routing_target(), options).route(gates, 6);
    EXPECT_EQ(r.nb_releases, 1u);
    EXPECT_EQ(r.nb_swaps, 4u);  // a shortest routing: the valve never walks away
    EXPECT_EQ(replay(r, gates, g), 4u);
}

TEST(SabreRouter, StartsFromTheGivenOrder) {
    QubitGraph g = make_graph(4, line(4));
    // Logical 0 on physical 3, logical 3 on physical 2: neighbours, no SWAP needed.
    const Gates gates{{0}, {0, 3}};
    const SabreResult r = SabreRouter(g.routing_target(), {}).route(gates, 4, {3, 0, 1, 2});
    EXPECT_EQ(r.nb_swaps, 0u);
    ASSERT_EQ(r.steps.size(), 2u);
    EXPECT_EQ(r.steps[0].first, Physical{3});  // the begin gate on its placed qubit
    EXPECT_EQ(qubits_of(r.steps[1]), std::make_pair(3u, 2u));
    EXPECT_EQ(r.final_layout, (std::vector<std::uint32_t>{1, 2, 3, 0}));
    for (const std::vector<std::uint32_t>& bad :
         {std::vector<std::uint32_t>{0, 1, 2}, {0, 1, 2, 2}, {0, 1, 2, 4}})
        EXPECT_THROW(SabreRouter(g.routing_target(), {}).route(gates, 4, bad),
                     std::invalid_argument);
}

TEST(SabreRouter, TopologySizeAgainstCircuit) {
    QubitGraph small = make_graph(2, line(2));
    EXPECT_EQ(message_of([&] { SabreRouter(small.routing_target(), {}).route({{0, 1}}, 3); }),
              "The topology has 2 qubits, fewer than the 3 qubits of the circuit");
    // Physical 0 and 1 only meet through physical 2, which holds no qubit of the circuit.
    QubitGraph wide = make_graph(3, {{0, 2}, {2, 1}});
    SabreResult r = SabreRouter(wide.routing_target(), {}).route({{0, 1}}, 2);
    ASSERT_EQ(r.steps.size(), 2u);
    EXPECT_TRUE(r.steps[0].is_swap());
    EXPECT_EQ(qubits_of(r.steps[0]), std::make_pair(2u, 0u));
    EXPECT_EQ(qubits_of(r.steps[1]), std::make_pair(2u, 1u));
    EXPECT_EQ(r.final_layout, (std::vector<std::uint32_t>{2, 1, 0}));
}

// Literal rendering of the routine: full score of every candidate, path lengths from
// QubitGraph::path, look-ahead from the walk below the front layer; after `release_after` SWAPs
// without progress, the closest front pair walks together along shortest paths and the decay is
// reset. With random ties, the n-th candidate tied with the best replaces it when a draw modulo n
// is 0. The router must produce the same steps.
std::vector<SabreStep> reference_route(const Gates& gates, std::uint32_t n, QubitGraph& graph,
                                       const SabreOptions& o, std::uint64_t release_after) {
    GroupGraph groups(n, gates);
    std::vector<SabreStep> steps;
    for (int i : groups.begin_gates())
        steps.push_back({static_cast<std::uint32_t>(i), Physical{gates[i][0]}, SabreStep::kNone});
    std::vector<std::uint32_t> order(n);
    std::iota(order.begin(), order.end(), 0u);
    auto inverse = [&](std::uint32_t p) {
        return static_cast<std::uint32_t>(std::find(order.begin(), order.end(), p) - order.begin());
    };
    auto pair_of = [&](int v) {
        return std::make_pair(index(groups.group(v).first), index(groups.group(v).second));
    };
    auto nb_gates_of = [&](int v) { return groups.group(v).nb_two_qubit_gates; };
    auto len = [&](const std::vector<std::uint32_t>& ord, int v) {
        auto [a, b] = pair_of(v);
        return static_cast<double>(graph.path(ord[a], ord[b]).size());
    };
    Decay decay(n, o.delta);
    std::vector<int> front = groups.front_layer();
    std::size_t swaps_in_a_row = 0;
    std::mt19937_64 rng(o.tie_seed);
    auto record_swap = [&](std::uint32_t x, std::uint32_t y) {
        std::swap(order[x], order[y]);
        steps.push_back({SabreStep::kSwap, Physical{order[x]}, Physical{order[y]}});
    };
    while (!front.empty()) {
        std::vector<int> execute;
        for (int v : front)
            if (len(order, v) == 2) execute.push_back(v);
        if (!execute.empty()) {
            for (int v : execute)
                for (std::uint32_t i : *groups.pop_front_group(v))
                    steps.push_back(
                        {i, Physical{order[gates[i][0]]},
                         gates[i].size() > 1 ? Physical{order[gates[i][1]]} : SabreStep::kNone});
            decay.insert_gate();
            front = groups.front_layer();
            swaps_in_a_row = 0;
            continue;
        }
        if (++swaps_in_a_row > release_after) {
            int closest = front[0];
            for (int v : front)
                if (len(order, v) < len(order, closest)) closest = v;
            auto [mover, other] = pair_of(closest);
            while (graph.distance(order[mover], order[other]) > 1) {
                const std::uint32_t here = graph.distance(order[mover], order[other]);
                for (std::uint32_t p : graph.neighbours(order[mover])) {
                    if (graph.distance(p, order[other]) == here - 1) {
                        record_swap(mover, inverse(p));
                        break;
                    }
                }
                std::swap(mover, other);
            }
            for (std::uint32_t q = 0; q < n; ++q) decay.reset(q);
            continue;
        }
        std::vector<std::pair<std::uint32_t, std::uint32_t>> candidates;
        // With random ties, the exchange of a qubit with one of an earlier front group is not
        // listed again: it would only add weight to a tie already drawn for.
        std::set<std::uint32_t> earlier;
        for (int v : front) {
            auto [a, b] = pair_of(v);
            for (std::uint32_t x : {a, b})
                for (std::uint32_t p : graph.neighbours(order[x]))
                    if (!o.random_ties || !earlier.count(inverse(p)))
                        candidates.emplace_back(x, inverse(p));
            earlier.insert(a);
            earlier.insert(b);
        }
        std::vector<int> walk;
        groups.look_ahead(o.window_size, walk);
        const std::set<int> ahead(walk.begin(), walk.end());
        double best = 0;
        std::pair<std::uint32_t, std::uint32_t> best_pair{0, 0};
        std::uint64_t ties = 0;
        for (std::size_t k = 0; k < candidates.size(); ++k) {
            auto [x, y] = candidates[k];
            std::vector<std::uint32_t> cp = order;
            std::swap(cp[x], cp[y]);
            double hf = 0, nf = 0, de = 0, ne = 0;
            for (int v : front) {
                hf += nb_gates_of(v) * len(cp, v);
                nf += nb_gates_of(v);
            }
            for (int e : ahead) {
                de += nb_gates_of(e) * len(cp, e);
                ne += nb_gates_of(e);
            }
            if (ne == 0) ne = 1;
            const double score = o.basic_heuristic ? hf
                                                   : std::max(decay.get(x), decay.get(y)) *
                                                         (hf / nf + o.weight * de / ne);
            if (k == 0 || score < best) {
                best = score;
                best_pair = {x, y};
                ties = 1;
            } else if (o.random_ties && score == best && rng() % ++ties == 0) {
                best_pair = {x, y};
            }
        }
        record_swap(best_pair.first, best_pair.second);
        decay.insert_swap(best_pair.first, best_pair.second);
    }
    return steps;
}

Gates random_gates(std::uint32_t n, std::size_t count, unsigned seed) {
    std::mt19937 rng(seed);
    Gates gates;
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint32_t a = rng() % n;
        if (rng() % 4 == 0) {
            gates.push_back({a});
        } else {
            std::uint32_t b = rng() % (n - 1);
            gates.push_back({a, b >= a ? b + 1 : b});
        }
    }
    return gates;
}

bool same_steps(const std::vector<SabreStep>& a, const std::vector<SabreStep>& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const auto& s, const auto& t) {
        return s.gate == t.gate && s.first == t.first && s.second == t.second;
    });
}

// (basic heuristic, window, weight, delta, release_after (0: default), random ties)
using ReferenceParams = std::tuple<bool, unsigned, double, double, std::uint64_t, bool>;

SabreOptions options_of(const ReferenceParams& params, unsigned seed = 0) {
    auto [basic, window, weight, delta, release, random] = params;
    SabreOptions o;
    o.basic_heuristic = basic;
    o.window_size = window;
    o.weight = weight;
    o.delta = delta;
    o.release_after = release;
    o.random_ties = random;
    o.tie_seed = seed;
    return o;
}

class MatchesReference : public testing::TestWithParam<ReferenceParams> {};

// The router against the reference on one circuit; its scratch and generator are reset by
// `route`, so one router serves every circuit of a topology.
void expect_reference(SabreRouter& router, const Gates& gates, std::uint32_t n, const Edges& edges,
                      const SabreOptions& o, const std::string& where) {
    QubitGraph reference_graph = make_graph(n, edges);
    const std::vector<SabreStep> expected =
        reference_route(gates, n, reference_graph, o, router.release_after());
    EXPECT_TRUE(same_steps(router.route(gates, n).steps, expected)) << where;
}

TEST_P(MatchesReference, OnRandomCircuits) {
    // (qubits, edges, gates per circuit, circuits). The 10x10 grid gives wide front layers,
    // long routings through many layers, and with windows above 1 qubits in more than two
    // look-ahead groups. A large delta makes the extended heuristic circle, so the valve fires.
    const std::vector<std::tuple<std::uint32_t, Edges, std::size_t, unsigned>> topologies{
        {6, line(6), 60, 6}, {9, grid(3, 3), 60, 6},      {12, grid(3, 4), 60, 6},
        {9, star(9), 60, 4}, {7, doubled_line(7), 60, 4}, {100, grid(10, 10), 300, 2}};
    for (const auto& [n, edges, nb_gates, nb_circuits] : topologies) {
        QubitGraph graph = make_graph(n, edges);
        for (unsigned seed = 1; seed <= nb_circuits; ++seed) {
            const SabreOptions o = options_of(GetParam(), seed);
            SabreRouter router(graph.routing_target(), o);
            expect_reference(router, random_gates(n, nb_gates, seed * 7 + n), n, edges, o,
                             "n=" + std::to_string(n) + " seed=" + std::to_string(seed));
        }
    }
}

// Every two-qubit gate given 20 times in a row: groups of 20 gates, whose terms change by more
// than the router tabulates per pass.
TEST_P(MatchesReference, OnGroupsOfManyGates) {
    const SabreOptions o = options_of(GetParam(), 5);
    QubitGraph graph = make_graph(12, grid(3, 4));
    SabreRouter router(graph.routing_target(), o);
    for (unsigned seed = 1; seed <= 3; ++seed) {
        Gates gates;
        for (const auto& gate : random_gates(12, 40, seed))
            for (int copy = 0; copy < (gate.size() == 2 ? 20 : 1); ++copy) gates.push_back(gate);
        expect_reference(router, gates, 12, grid(3, 4), o, "seed=" + std::to_string(seed));
    }
}

// Several threads route different circuits against one shared target, half of them through a
// shared SabreTarget, the others building their own from the shared RoutingTarget: each gets
// exactly the result of routing alone.
TEST(Sabre, ConcurrentRoutingsShareOneTarget) {
    const QubitGraph graph = make_graph(36, grid(6, 6));
    const std::shared_ptr<const RoutingTarget> target = graph.routing_target();
    const auto rows = std::make_shared<const SabreTarget>(target);
    constexpr unsigned kThreads = 4;
    std::vector<Gates> circuits;
    std::vector<SabreOptions> options(kThreads);
    std::vector<SabreResult> alone;
    for (unsigned t = 0; t < kThreads; ++t) {
        circuits.push_back(random_gates(36, 400, 100 + t));
        options[t].basic_heuristic = t % 3 == 2;
        options[t].window_size = 1 + t;
        options[t].random_ties = t % 2 == 1;
        options[t].tie_seed = t;
        alone.push_back(SabreRouter(rows, options[t]).route(circuits[t], 36));
    }
    std::vector<SabreResult> together(kThreads);
    std::vector<std::thread> threads;
    for (unsigned t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            SabreRouter router =
                t % 2 ? SabreRouter(rows, options[t]) : SabreRouter(target, options[t]);
            for (int round = 0; round < 3; ++round) together[t] = router.route(circuits[t], 36);
        });
    for (std::thread& thread : threads) thread.join();
    for (unsigned t = 0; t < kThreads; ++t) {
        EXPECT_TRUE(same_steps(together[t].steps, alone[t].steps)) << "thread " << t;
        EXPECT_EQ(together[t].final_layout, alone[t].final_layout) << "thread " << t;
    }
}

INSTANTIATE_TEST_SUITE_P(Options, MatchesReference,
                         testing::Values(std::make_tuple(true, 1u, 0.5, 0.001, 0u, false),
                                         std::make_tuple(false, 0u, 0.5, 0.001, 0u, false),
                                         std::make_tuple(false, 1u, 0.5, 0.001, 0u, false),
                                         std::make_tuple(false, 3u, 0.5, 0.001, 0u, false),
                                         std::make_tuple(false, 2u, 1.5, 0.001, 0u, false),
                                         std::make_tuple(false, 2u, 0.5, 0.3, 12u, false),
                                         std::make_tuple(false, 1u, 0.9, 0.1, 0u, false),
                                         std::make_tuple(false, 6u, 0.5, 0.001, 0u, false),
                                         std::make_tuple(true, 1u, 0.5, 0.001, 3u, true),
                                         std::make_tuple(false, 1u, 0.5, 0.001, 0u, true),
                                         std::make_tuple(false, 2u, 0.5, 0.3, 5u, true)));

}  // namespace
}  // namespace couplize
