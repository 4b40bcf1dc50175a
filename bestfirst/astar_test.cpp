#include "bestfirst/astar.hpp"

#include <gtest/gtest.h>

#include <map>
#include <queue>
#include <random>
#include <set>
#include <thread>

#include "swapcore/test_topologies.hpp"

namespace couplize {
namespace {

using Step = AstarCouplizer::Step;
using fixtures::Edges;
using fixtures::make_graph;

Edges line(std::uint32_t n) { return fixtures::line_edges(n); }
Edges grid(std::uint32_t rows, std::uint32_t cols) { return fixtures::grid_edges(rows, cols); }

constexpr AstarEstimate kMax = AstarEstimate::kMaxDistance;
constexpr AstarEstimate kSum = AstarEstimate::kSumDistance;

std::vector<Step> route(std::vector<Interaction> gates, std::uint32_t nb_logical,
                        std::uint32_t size_slice, const QubitGraph& graph,
                        AstarEstimate estimate = kMax) {
    AstarCouplizer engine(std::move(gates), nb_logical, size_slice, estimate);
    engine.set_target(graph.routing_target());
    engine.set_node_limit(1'000'000);  // a broken search fails instead of hanging
    auto steps = engine.start_couplization();
    EXPECT_EQ(engine.live_nodes(), 0u);
    return steps;
}

std::vector<std::vector<std::uint32_t>> slice_gates(const AstarCouplizer& engine) {
    std::vector<std::vector<std::uint32_t>> result;
    for (const auto& slice : engine.slices()) result.push_back(slice.gates);
    return result;
}

using Slicing = std::vector<std::vector<std::uint32_t>>;

class SlicingTest : public ::testing::TestWithParam<std::pair<std::uint32_t, Slicing>> {};

TEST_P(SlicingTest, EarliestSliceWithRoom) {
    const auto& [size_slice, expected] = GetParam();
    AstarCouplizer engine({{0, 1}, {2, 3}, {1, 2}}, 4, size_slice, kMax);
    EXPECT_EQ(slice_gates(engine), expected);
}

INSTANTIATE_TEST_SUITE_P(SliceSizes, SlicingTest,
                         ::testing::Values(std::pair{2u, Slicing{{0, 1}, {2}}},
                                           std::pair{1u, Slicing{{0}, {1}, {2}}},
                                           std::pair{3u, Slicing{{0, 1}, {2}}}));

TEST(AstarSlicing, FullSliceDoesNotPullLaterGatesBack) {
    // Gate 3 only touches qubits 4 and 5 but slice 0 is full, so it goes to slice 1; gate 4
    // on qubit 0 must come after gate 2 (slice 1) and lands in slice 2.
    AstarCouplizer engine({{0, 1}, {2, 3}, {0, 2}, {4, 5}, {0, 4}}, 6, 2, kMax);
    EXPECT_EQ(slice_gates(engine), (Slicing{{0, 1}, {2, 3}, {4}}));
}

TEST(AstarSlicing, OneQubitGatesFollowTheirQubitsLastTwoQubitGate) {
    AstarCouplizer engine({{2}, {0, 1}, {0}, {2, 3}, {1}, {0, 1}, {1}, {3}}, 4, 1, kMax);
    EXPECT_EQ(engine.begin_gates(), (std::vector<std::uint32_t>{0}));
    ASSERT_EQ(engine.slices().size(), 3u);
    EXPECT_EQ(engine.slices()[0].one_qubit_gates, (std::vector<std::uint32_t>{2, 4}));
    EXPECT_EQ(engine.slices()[1].one_qubit_gates, (std::vector<std::uint32_t>{7}));
    EXPECT_EQ(engine.slices()[2].one_qubit_gates, (std::vector<std::uint32_t>{6}));
}

TEST(AstarSearch, LineEndsWithTwoSwapsAndTheGate) {
    const QubitGraph graph = make_graph(4, line(4));
    for (AstarEstimate sum : {kMax, kSum}) {
        const auto steps = route({{0, 3}}, 4, 1, graph, sum);
        ASSERT_EQ(steps.size(), 3u);
        std::vector<std::uint32_t> order{0, 1, 2, 3};
        for (int k = 0; k < 2; ++k) {
            ASSERT_TRUE(steps[k].is_swap);
            std::swap(order[index(steps[k].logical_a)], order[index(steps[k].logical_b)]);
        }
        EXPECT_EQ(steps[2], (Step::gate_step(0)));
        EXPECT_EQ(std::max(order[0], order[3]) - std::min(order[0], order[3]), 1u);
    }
}

TEST(AstarSearch, BeginGatesComeBeforeEverySwap) {
    const auto steps = route({{0, 3}, {1}, {2}, {0}}, 4, 1, make_graph(4, line(4)));
    ASSERT_EQ(steps.size(), 6u);
    EXPECT_EQ(steps[0], (Step::gate_step(1)));
    EXPECT_EQ(steps[1], (Step::gate_step(2)));
    EXPECT_TRUE(steps[2].is_swap && steps[3].is_swap);
    EXPECT_EQ(steps[4], (Step::gate_step(0)));
    EXPECT_EQ(steps[5], (Step::gate_step(3)));
}

TEST(AstarSearch, CompatibleSlicesAddNoSwap) {
    const auto steps = route({{0, 1}, {2, 3}, {1, 2}, {3, 2}}, 4, 2, make_graph(4, line(4)));
    for (const Step& step : steps) {
        EXPECT_FALSE(step.is_swap);
    }
    EXPECT_EQ(steps.size(), 4u);
}

TEST(AstarSearch, OnlyOneQubitGatesGiveOnlyBeginGates) {
    const auto steps = route({{1}, {0}, {1}}, 2, 1, make_graph(2, {}));
    EXPECT_EQ(steps,
              (std::vector<Step>{Step::gate_step(0), Step::gate_step(1), Step::gate_step(2)}));
}

TEST(AstarSearch, LargerTopologyLendsItsSpareQubits) {
    // Logical 0 and 1 sit on the ends of a 3-qubit star arm; only physical qubit 2 (not used
    // by the circuit) joins them, so the search must move a spare logical qubit.
    const QubitGraph graph = make_graph(3, {{0, 2}, {2, 1}});
    const auto steps = route({{0, 1}}, 2, 1, graph);
    ASSERT_EQ(steps.size(), 2u);
    EXPECT_TRUE(steps[0].is_swap);
    EXPECT_TRUE(steps[0].logical_a == Logical{2} || steps[0].logical_b == Logical{2});
}

// --- failures ---------------------------------------------------------------------------------

struct BadInput {
    std::vector<Interaction> gates;
    std::uint32_t nbqbits;
    std::uint32_t size_slice;
    std::string message;
};

class BadInputTest : public ::testing::TestWithParam<BadInput> {};

TEST_P(BadInputTest, ConstructorRejects) {
    const BadInput& bad = GetParam();
    try {
        AstarCouplizer engine(bad.gates, bad.nbqbits, bad.size_slice, kMax);
        FAIL() << "accepted";
    } catch (const std::invalid_argument& error) {
        EXPECT_EQ(error.what(), bad.message);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Messages, BadInputTest,
    ::testing::Values(
        BadInput{{{0, 1}, {0, 1, 2}}, 3, 1, "Cannot treat gates with more than 2 qubits"},
        BadInput{{{0}, {}}, 3, 1, "Operation 1 has no qubits"},
        BadInput{{{0, 3}}, 3, 1, "Operation 0 uses qubit 3 but the circuit has 3 qubits"},
        BadInput{{{1}, {2, 2}}, 3, 1, "Operation 1 acts twice on qubit 2"},
        BadInput{{{0, 1}}, 2, 0, "size_slice must be at least 1"}));

TEST(AstarFailure, TopologySmallerThanCircuit) {
    AstarCouplizer engine({{0, 2}}, 3, 1, kMax);
    EXPECT_THROW(engine.set_target(make_graph(2, {{0, 1}}).routing_target()),
                 std::invalid_argument);
    EXPECT_THROW(engine.set_target(nullptr), std::invalid_argument);
    EXPECT_THROW(engine.start_couplization(), std::invalid_argument);  // no target set
}

class UnreachableTest : public ::testing::TestWithParam<Edges> {};

TEST_P(UnreachableTest, FailsBeforeExpandingAndNamesTheQubits) {
    AstarCouplizer engine({{0, 1}, {1, 2}, {0, 3}}, 4, 1, kMax);
    engine.set_target(make_graph(4, GetParam()).routing_target());
    try {
        engine.start_couplization();
        FAIL() << "routed";
    } catch (const std::invalid_argument& error) {
        EXPECT_NE(std::string(error.what()).find("qubits 0 and 3"), std::string::npos)
            << error.what();
    }
    EXPECT_EQ(engine.max_expanded(), 0u);
    EXPECT_EQ(engine.live_nodes(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Topologies, UnreachableTest,
                         ::testing::Values(Edges{{0, 1}, {1, 2}},            // qubit 3 alone
                                           Edges{{0, 1}, {1, 2}, {2, 0}}));  // and a triangle

TEST(AstarFailure, SingleGateOverTheNodeLimitFails) {
    AstarCouplizer engine({{0, 9}}, 10, 1, kMax);
    engine.set_target(make_graph(10, line(10)).routing_target());
    engine.set_node_limit(1);
    EXPECT_THROW(engine.start_couplization(), std::invalid_argument);
    EXPECT_EQ(engine.live_nodes(), 0u);
}

// --- property: replaying the steps routes every gate, in order, on an edge ---------------------

struct Replay {
    std::uint32_t swaps = 0;
    bool optimal_per_gate = true;  // with one gate per slice: SWAPs == distance - 1
};

Replay replay(const std::vector<Interaction>& gates, const std::vector<Step>& steps,
              QubitGraph graph) {
    const std::uint32_t n = graph.get_nbqubits();
    std::vector<std::uint32_t> order(n), slice_start(n);
    for (std::uint32_t q = 0; q < n; ++q) order[q] = slice_start[q] = q;
    std::vector<std::int64_t> last_gate(n, -1);
    std::vector<int> emitted(gates.size(), 0);
    Replay result;
    std::uint32_t swaps_since = 0;
    for (const Step& step : steps) {
        if (step.is_swap) {
            const std::uint32_t a = index(step.logical_a), b = index(step.logical_b);
            EXPECT_EQ(graph.distance(order[a], order[b]), 1u);
            std::swap(order[a], order[b]);
            ++result.swaps;
            ++swaps_since;
            continue;
        }
        const Interaction& qubits = gates[step.gate];
        ++emitted[step.gate];
        for (std::uint32_t q : qubits) {
            EXPECT_LT(last_gate[q], static_cast<std::int64_t>(step.gate)) << "qubit " << q;
            last_gate[q] = step.gate;
        }
        if (qubits.size() == 2) {
            EXPECT_EQ(graph.distance(order[qubits[0]], order[qubits[1]]), 1u);
            if (swaps_since > 0 &&
                swaps_since + 1 != graph.distance(slice_start[qubits[0]], slice_start[qubits[1]]))
                result.optimal_per_gate = false;
            swaps_since = 0;
            slice_start = order;
        }
    }
    for (int count : emitted) {
        EXPECT_EQ(count, 1);
    }
    return result;
}

std::vector<Interaction> random_gates(std::uint32_t n, std::uint32_t count, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<std::uint32_t> pick(0, n - 1);
    std::vector<Interaction> gates;
    while (gates.size() < count) {
        const std::uint32_t a = pick(rng), b = pick(rng);
        if (rng() % 4 == 0)
            gates.push_back({a});
        else if (a != b)
            gates.push_back({a, b});
    }
    return gates;
}

class RandomRoutingTest : public ::testing::TestWithParam<std::tuple<unsigned, std::uint32_t>> {};

TEST_P(RandomRoutingTest, EveryGateOnAnEdgeInCircuitOrder) {
    const auto [seed, size_slice] = GetParam();
    const QubitGraph graph = make_graph(9, grid(3, 3));
    const auto gates = random_gates(8, 40, seed);  // one spare physical qubit
    for (AstarEstimate sum : {kMax, kSum}) {
        const Replay result = replay(gates, route(gates, 8, size_slice, graph, sum), graph);
        // One gate per slice: the distance estimate is exact up to a constant, so the search
        // finds a shortest sequence of SWAPs for every gate.
        if (size_slice == 1) {
            EXPECT_TRUE(result.optimal_per_gate);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Seeds, RandomRoutingTest,
                         ::testing::Combine(::testing::Values(1u, 2u, 3u, 4u),
                                            ::testing::Values(1u, 2u, 4u)));

// --- per-slice optimality ------------------------------------------------------------------

// Fewest SWAPs (any edge) after which every gate of `gates` acts on neighbours, by breadth-first
// search over whole orders (logical -> physical).
std::uint32_t fewest_swaps(QubitGraph graph, const std::vector<std::uint32_t>& start,
                           const std::vector<Interaction>& gates) {
    auto done = [&](const std::vector<std::uint32_t>& order) {
        for (const Interaction& g : gates)
            if (graph.distance(order[g[0]], order[g[1]]) != 1) return false;
        return true;
    };
    const std::uint32_t n = graph.get_nbqubits();
    std::map<std::vector<std::uint32_t>, std::uint32_t> seen{{start, 0}};
    std::queue<std::vector<std::uint32_t>> queue;
    queue.push(start);
    while (!queue.empty()) {
        const std::vector<std::uint32_t> order = queue.front();
        queue.pop();
        if (done(order)) return seen[order];
        std::vector<std::uint32_t> holder(n);
        for (std::uint32_t q = 0; q < n; ++q) holder[order[q]] = q;
        for (std::uint32_t p = 0; p < n; ++p)
            for (std::uint32_t r : graph.neighbours(p)) {
                if (r < p) continue;
                std::vector<std::uint32_t> next = order;
                std::swap(next[holder[p]], next[holder[r]]);
                if (seen.emplace(next, seen[order] + 1).second) queue.push(next);
            }
    }
    return QubitGraph::unreachable;
}

// The search as first written: largest distance (neighbours count 1) as the estimate, a
// std::priority_queue on cost + estimate, an order skipped once queued (the root's excepted).
// Returns its SWAP count, or -1 past `limit` nodes.
long written_search(QubitGraph graph, const std::vector<std::uint32_t>& start,
                    const std::vector<Interaction>& gates, std::size_t limit) {
    struct Node {
        std::vector<std::uint32_t> order;
        std::uint32_t cost, estimate;
    };
    auto estimate = [&](const std::vector<std::uint32_t>& order) {
        std::uint32_t result = 0;
        for (const Interaction& g : gates)
            result = std::max(result, graph.distance(order[g[0]], order[g[1]]));
        return result;
    };
    std::vector<std::unique_ptr<Node>> nodes;
    auto worse = [](const Node* a, const Node* b) {
        return b->cost + b->estimate < a->cost + a->estimate;
    };
    std::priority_queue<Node*, std::vector<Node*>, decltype(worse)> queue(worse);
    std::set<std::vector<std::uint32_t>> visited;
    nodes.push_back(std::make_unique<Node>(Node{start, 0, 0}));
    Node* node = nodes.back().get();
    const std::uint32_t n = graph.get_nbqubits();
    while (estimate(node->order) != 1) {
        std::vector<std::uint32_t> holder(n);
        for (std::uint32_t q = 0; q < n; ++q) holder[node->order[q]] = q;
        for (const Interaction& g : gates)
            for (std::uint32_t c : g)
                for (std::uint32_t p : graph.neighbours(node->order[c])) {
                    std::vector<std::uint32_t> next = node->order;
                    std::swap(next[c], next[holder[p]]);
                    if (!visited.insert(next).second) continue;
                    if (nodes.size() >= limit) return -1;
                    nodes.push_back(
                        std::make_unique<Node>(Node{next, node->cost + 1, estimate(next)}));
                    queue.push(nodes.back().get());
                }
        node = queue.top();
        queue.pop();
    }
    return node->cost;
}

struct SliceRun {
    std::vector<std::vector<std::uint32_t>> start;  // order at each slice's start
    std::vector<std::uint32_t> swaps;               // SWAPs before each slice's gates
};

// Splits a run without split searches into its slices.
SliceRun by_slice(const AstarCouplizer& engine, const std::vector<Step>& steps,
                  std::uint32_t nbphysical) {
    SliceRun run;
    std::vector<std::uint32_t> order(nbphysical);
    std::iota(order.begin(), order.end(), 0u);
    std::size_t i = engine.begin_gates().size();
    for (const auto& slice : engine.slices()) {
        run.start.push_back(order);
        run.swaps.push_back(0);
        for (; i < steps.size() && steps[i].is_swap; ++i, ++run.swaps.back())
            std::swap(order[index(steps[i].logical_a)], order[index(steps[i].logical_b)]);
        i += slice.gates.size() + slice.one_qubit_gates.size();
    }
    return run;
}

// Covers the search's cuts too: a child past the sum estimate's count and a SWAP of a gate's two
// qubits are left out (slices of 4 on 8 qubits hold satisfied gates whose qubits could swap).
class SliceOptimality
    : public ::testing::TestWithParam<std::tuple<const char*, unsigned, std::uint32_t>> {};

TEST_P(SliceOptimality, EachSliceGetsTheFewestSwaps) {
    const auto& [name, seed, size_slice] = GetParam();
    const std::map<std::string, std::pair<std::uint32_t, Edges>> topologies{
        {"line7", {7, line(7)}},
        {"grid2x3", {6, grid(2, 3)}},
        {"ladder2x4", {8, grid(2, 4)}},
        {"ring6", {6, {{0, 1}, {1, 2}, {2, 3}, {3, 4}, {4, 5}, {5, 0}}}}};
    const auto& [n, edges] = topologies.at(name);
    const QubitGraph graph = make_graph(n, edges);
    const auto gates = random_gates(n, 24, seed);
    AstarCouplizer engine(gates, n, size_slice, kMax);
    engine.set_target(graph.routing_target());
    const auto steps = engine.start_couplization();
    ASSERT_EQ(engine.split_searches(), 0u);
    ASSERT_EQ(engine.summed_searches(), 0u);
    replay(gates, steps, graph);
    const SliceRun run = by_slice(engine, steps, n);
    for (std::size_t s = 0; s < engine.slices().size(); ++s) {
        std::vector<Interaction> slice;
        for (std::uint32_t g : engine.slices()[s].gates) slice.push_back(gates[g]);
        EXPECT_EQ(run.swaps[s], fewest_swaps(graph, run.start[s], slice)) << "slice " << s;
        const long written = written_search(graph, run.start[s], slice, 200'000);
        if (written >= 0) {
            EXPECT_EQ(run.swaps[s], written) << "slice " << s;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Topologies, SliceOptimality,
    ::testing::Combine(::testing::Values("line7", "grid2x3", "ladder2x4", "ring6"),
                       ::testing::Values(1u, 2u, 3u), ::testing::Values(3u, 4u)));

// With one long gate the estimate is exact, and expanding the deeper of equal nodes first walks
// straight to the goal: one expansion per SWAP.
TEST(AstarSearch, DeeperNodesFirstWalkStraightToTheGoal) {
    for (std::uint32_t n : {4u, 8u, 12u}) {
        AstarCouplizer engine({{0, n - 1}}, n, 1, kMax);
        engine.set_target(make_graph(n, line(n)).routing_target());
        const auto steps = engine.start_couplization();
        EXPECT_EQ(steps.size(), n - 1);  // n - 2 SWAPs and the gate
        EXPECT_EQ(engine.max_expanded(), n - 2);
    }
}

struct LookaheadCase {
    std::uint32_t slices;
    double discount;
    bool valid;
};

class LookaheadTest : public ::testing::TestWithParam<LookaheadCase> {};

TEST_P(LookaheadTest, RoutesEveryGateOrRejectsTheDiscount) {
    const LookaheadCase& c = GetParam();
    const QubitGraph graph = make_graph(9, grid(3, 3));
    const auto gates = random_gates(9, 40, 7);
    AstarCouplizer engine(gates, 9, 2, kMax);
    engine.set_target(graph.routing_target());
    if (!c.valid) {
        EXPECT_THROW(engine.set_lookahead(c.slices, c.discount), std::invalid_argument);
        return;
    }
    engine.set_lookahead(c.slices, c.discount);
    engine.set_node_limit(1'000'000);
    replay(gates, engine.start_couplization(), graph);
    EXPECT_EQ(engine.live_nodes(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Settings, LookaheadTest,
    ::testing::Values(LookaheadCase{0, 0.5, true}, LookaheadCase{1, 0.5, true},
                      LookaheadCase{4, 1.0, true}, LookaheadCase{50, 0.1, true},
                      LookaheadCase{2, 0.0, false}, LookaheadCase{2, 1.5, false},
                      LookaheadCase{2, std::numeric_limits<double>::quiet_NaN(), false}));

struct SplitCase {
    std::uint32_t nbqbits;
    Edges edges;
    std::vector<Interaction> gates;
    std::uint32_t size_slice;
    std::size_t node_limit;
};

class SplitTest : public ::testing::TestWithParam<SplitCase> {};

// A search that cannot finish (no order fits every gate of the slice at once, or the node limit
// is reached) is redone gate by gate and still routes every gate.
TEST_P(SplitTest, FailedSearchIsRetriedOnHalves) {
    const SplitCase& c = GetParam();
    AstarCouplizer engine(c.gates, c.nbqbits, c.size_slice, kMax);
    const QubitGraph graph = make_graph(c.nbqbits, c.edges);
    engine.set_target(graph.routing_target());
    engine.set_node_limit(c.node_limit);
    const auto steps = engine.start_couplization();
    EXPECT_GT(engine.split_searches(), 0u);
    EXPECT_EQ(engine.live_nodes(), 0u);
    replay(c.gates, steps, graph);
}

std::vector<Interaction> mirror_pairs(std::uint32_t n) {
    std::vector<Interaction> gates;
    for (std::uint32_t q = 0; q < n / 2; ++q) gates.push_back({q, n - 1 - q});
    return gates;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SplitTest,
    ::testing::Values(
        // Every edge of a star touches its centre: two disjoint gates never fit at once.
        SplitCase{5, {{0, 1}, {0, 2}, {0, 3}, {0, 4}}, {{1, 2}, {3, 4}}, 2, 0},
        SplitCase{20, line(20), mirror_pairs(20), 10, 2000}));

// --- one target shared by engines on several threads --------------------------------------------

TEST(AstarConcurrency, ConcurrentSearchesShareOneTarget) {
    const QubitGraph graph = make_graph(9, grid(3, 3));
    const std::shared_ptr<const RoutingTarget> target = graph.routing_target();
    struct Job {
        std::vector<Interaction> gates;
        AstarEstimate estimate;
        std::uint32_t lookahead;
    };
    std::vector<Job> jobs;
    for (unsigned seed = 0; seed < 8; ++seed)
        jobs.push_back({random_gates(9, 60, 100 + seed), seed % 2 ? kSum : kMax, seed % 3});
    auto run = [&](const Job& job) {
        AstarCouplizer engine(job.gates, 9, 3, job.estimate);
        engine.set_target(target);
        engine.set_node_limit(2000);  // some searches reach it: the fallbacks run too
        engine.set_lookahead(job.lookahead, 0.5);
        return engine.start_couplization();
    };
    std::vector<std::vector<Step>> sequential;
    for (const Job& job : jobs) sequential.push_back(run(job));
    std::vector<std::vector<Step>> parallel(jobs.size());
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (std::size_t j = t; j < jobs.size(); j += 4) parallel[j] = run(jobs[j]);
        });
    for (std::thread& thread : threads) thread.join();
    for (std::size_t j = 0; j < jobs.size(); ++j) {
        EXPECT_EQ(parallel[j], sequential[j]) << "job " << j;
        replay(jobs[j].gates, sequential[j], graph);
    }
}

}  // namespace
}  // namespace couplize
