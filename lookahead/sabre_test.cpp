#include "lookahead/sabre.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <numeric>
#include <random>
#include <set>
#include <string>
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

std::string message_of(const std::function<void()>& f) {
    try {
        f();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "no exception";
}

TEST(Swap, ExchangesTwoEntries) {
    std::vector<std::uint32_t> order{4, 5, 6};
    swap(order, 0, 2);
    EXPECT_EQ(order, (std::vector<std::uint32_t>{6, 5, 4}));
}

class LineOfThree : public testing::TestWithParam<bool> {};

// CNOT on logical 0 and 2 over the line 0-1-2: the candidates (0,1) and (2,1) tie, the first
// wins.
TEST_P(LineOfThree, SwapsTheFirstTiedCandidate) {
    QubitGraph g = make_graph(3, line(3));
    SabreOptions options;
    options.basic_heuristic = GetParam();
    SabreResult r = SabreRouter(&g, options).route({{0, 2}}, 3);
    ASSERT_EQ(r.steps.size(), 2u);
    EXPECT_TRUE(r.steps[0].is_swap());
    EXPECT_EQ(std::make_pair(r.steps[0].first, r.steps[0].second), std::make_pair(1u, 0u));
    EXPECT_EQ(r.steps[1].gate, 0u);
    EXPECT_EQ(std::make_pair(r.steps[1].first, r.steps[1].second), std::make_pair(1u, 2u));
    EXPECT_EQ(r.final_layout, (std::vector<std::uint32_t>{1, 0, 2}));
    EXPECT_EQ(r.nb_swaps, 1u);
}

INSTANTIATE_TEST_SUITE_P(Heuristics, LineOfThree, testing::Bool());

TEST(SabreRouter, OneQubitCircuitNeedsNoTopology) {
    SabreResult r = SabreRouter(nullptr, {}).route({{1}, {0}, {1}}, 2);
    EXPECT_EQ(r.nb_begin_gates, 3u);
    EXPECT_EQ(r.steps[2].gate, 2u);
    EXPECT_EQ(r.steps[2].first, 1u);
    EXPECT_EQ(r.final_layout, (std::vector<std::uint32_t>{0, 1}));
    EXPECT_THROW(SabreRouter(nullptr, {}).route({{1}, {0, 1}}, 2), MissingTopology);
}

struct StuckCase {
    std::uint32_t nbphysical;
    Edges edges;
    Gates gates;
    std::uint64_t limit;
    std::string message;
};

class Stuck : public testing::TestWithParam<StuckCase> {};

TEST_P(Stuck, RaisesInsteadOfSwappingForever) {
    const StuckCase& c = GetParam();
    QubitGraph g = make_graph(c.nbphysical, c.edges);
    SabreOptions options;
    options.max_swaps_without_progress = c.limit;
    EXPECT_EQ(message_of([&] { SabreRouter(&g, options).route(c.gates, 4); }), c.message);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Stuck,
    testing::Values(
        // Two components: the pair can never meet.
        StuckCase{4,
                  {{0, 1}, {2, 3}},
                  {{0, 1}, {1, 2}},
                  0,
                  "Qubits 1 and 2 of a two-qubit gate cannot be brought together: their physical "
                  "qubits 1 and 2 are not connected in the topology"},
        // A qubit without neighbours.
        StuckCase{4,
                  line(3),
                  {{3, 0}},
                  0,
                  "Qubits 3 and 0 of a two-qubit gate cannot be brought together: their physical "
                  "qubits 3 and 0 are not connected in the topology"},
        // The step limit: (0,3) on a line needs two SWAPs in a row.
        StuckCase{4,
                  line(4),
                  {{0, 3}},
                  1,
                  "SABRE routing makes no progress: 1 consecutive SWAPs executed no gate (front "
                  "group on qubits 0 and 3)"}));

TEST(SabreRouter, TopologySizeAgainstCircuit) {
    QubitGraph small = make_graph(2, line(2));
    EXPECT_EQ(message_of([&] { SabreRouter(&small, {}).route({{0, 1}}, 3); }),
              "The topology has 2 qubits, fewer than the 3 qubits of the circuit");
    // Physical 0 and 1 only meet through physical 2, which holds no qubit of the circuit.
    QubitGraph wide = make_graph(3, {{0, 2}, {2, 1}});
    SabreResult r = SabreRouter(&wide, {}).route({{0, 1}}, 2);
    ASSERT_EQ(r.steps.size(), 2u);
    EXPECT_TRUE(r.steps[0].is_swap());
    EXPECT_EQ(std::make_pair(r.steps[0].first, r.steps[0].second), std::make_pair(2u, 0u));
    EXPECT_EQ(std::make_pair(r.steps[1].first, r.steps[1].second), std::make_pair(2u, 1u));
    EXPECT_EQ(r.final_layout, (std::vector<std::uint32_t>{2, 1, 0}));
}

constexpr std::size_t kReferenceLimit = 500;

// Literal rendering of the routine: full score of every candidate, path lengths from
// QubitGraph::path, look-ahead from close_layers. The router must produce the same steps.
std::vector<SabreStep> reference_route(const Gates& gates, std::uint32_t n, QubitGraph& graph,
                                       const SabreOptions& o) {
    GroupGraph groups(n, gates);
    std::vector<SabreStep> steps;
    for (int i : groups.get_begin_gates())
        steps.push_back({static_cast<std::uint32_t>(i), gates[i][0], SabreStep::kNone});
    std::vector<std::uint32_t> order(n);
    std::iota(order.begin(), order.end(), 0u);
    auto inverse = [&](std::uint32_t p) {
        return static_cast<std::uint32_t>(std::find(order.begin(), order.end(), p) - order.begin());
    };
    auto len = [&](const std::vector<std::uint32_t>& ord, int v) {
        auto [a, b] = groups.get_pair_qubits(v);
        return static_cast<double>(graph.path(ord[a], ord[b]).size());
    };
    Decay decay(n, o.delta);
    std::vector<int> front = groups.get_front_layer();
    std::size_t swaps_in_a_row = 0;
    while (!front.empty()) {
        std::vector<int> execute;
        for (int v : front)
            if (len(order, v) == 2) execute.push_back(v);
        if (!execute.empty()) {
            for (int v : execute)
                for (std::uint32_t i : groups.pop_front_group(v)->gates)
                    steps.push_back({i, order[gates[i][0]],
                                     gates[i].size() > 1 ? order[gates[i][1]] : SabreStep::kNone});
            decay.insert_gate();
            front = groups.get_front_layer();
            swaps_in_a_row = 0;
            continue;
        }
        if (++swaps_in_a_row > kReferenceLimit)
            throw std::runtime_error("reference routing is stuck");
        std::vector<std::pair<std::uint32_t, std::uint32_t>> candidates;
        for (int v : front) {
            auto [a, b] = groups.get_pair_qubits(v);
            for (std::uint32_t p : graph.get_neighbours(order[a]))
                candidates.emplace_back(a, inverse(p));
            for (std::uint32_t p : graph.get_neighbours(order[b]))
                candidates.emplace_back(b, inverse(p));
        }
        std::set<int> ahead = groups.close_layers(o.window_size);
        double best = 0;
        std::pair<std::uint32_t, std::uint32_t> best_pair{0, 0};
        for (std::size_t k = 0; k < candidates.size(); ++k) {
            auto [x, y] = candidates[k];
            std::vector<std::uint32_t> cp = order;
            swap(cp, x, y);
            double hf = 0, nf = 0, de = 0, ne = 0;
            for (int v : front) {
                hf += groups.card_multiqubits_gates(v) * len(cp, v);
                nf += groups.card_multiqubits_gates(v);
            }
            for (int e : ahead) {
                de += groups.card_multiqubits_gates(e) * len(cp, e);
                ne += groups.card_multiqubits_gates(e);
            }
            if (ne == 0) ne = 1;
            const double score = o.basic_heuristic ? hf
                                                   : std::max(decay.get(x), decay.get(y)) *
                                                         (hf / nf + o.weight * de / ne);
            if (k == 0 || score < best) {
                best = score;
                best_pair = {x, y};
            }
        }
        swap(order, best_pair.first, best_pair.second);
        steps.push_back({SabreStep::kSwap, order[best_pair.first], order[best_pair.second]});
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

// (basic heuristic, window, weight, delta)
using ReferenceParams = std::tuple<bool, unsigned, double, double>;

SabreOptions options_of(const ReferenceParams& params) {
    auto [basic, window, weight, delta] = params;
    SabreOptions o;
    o.basic_heuristic = basic;
    o.window_size = window;
    o.weight = weight;
    o.delta = delta;
    o.max_swaps_without_progress = kReferenceLimit;
    return o;
}

class MatchesReference : public testing::TestWithParam<ReferenceParams> {};

TEST_P(MatchesReference, OnRandomCircuits) {
    const SabreOptions o = options_of(GetParam());
    // (qubits, edges, gates per circuit, circuits). The 10x10 grid gives wide front layers,
    // long routings through many layers, and with windows above 1 qubits in more than two
    // look-ahead groups.
    const std::vector<std::tuple<std::uint32_t, Edges, std::size_t, unsigned>> topologies{
        {6, line(6), 60, 6}, {9, grid(3, 3), 60, 6},      {12, grid(3, 4), 60, 6},
        {9, star(9), 60, 4}, {7, doubled_line(7), 60, 4}, {100, grid(10, 10), 300, 2}};
    for (const auto& [n, edges, nb_gates, nb_circuits] : topologies) {
        QubitGraph graph = make_graph(n, edges);
        SabreRouter router(&graph, o);  // reused across circuits: scratch must not leak
        for (unsigned seed = 1; seed <= nb_circuits; ++seed) {
            const Gates gates = random_gates(n, nb_gates, seed * 7 + n);
            QubitGraph reference_graph = make_graph(n, edges);
            std::vector<SabreStep> expected;
            try {
                expected = reference_route(gates, n, reference_graph, o);
            } catch (const std::runtime_error&) {
                // The heuristic cycles between placements (a large delta penalises the qubits
                // that have rested and so favours moving the same ones back and forth): the
                // router must stop at its limit instead of hanging.
                EXPECT_THROW(router.route(gates, n), std::invalid_argument);
                continue;
            }
            const SabreResult got = router.route(gates, n);
            EXPECT_TRUE(same_steps(got.steps, expected)) << "n=" << n << " seed=" << seed;
        }
    }
}

// Every two-qubit gate given 20 times in a row: groups of 20 gates, whose terms change by more
// than the router tabulates per pass.
TEST_P(MatchesReference, OnGroupsOfManyGates) {
    const SabreOptions o = options_of(GetParam());
    QubitGraph graph = make_graph(12, grid(3, 4));
    SabreRouter router(&graph, o);
    for (unsigned seed = 1; seed <= 3; ++seed) {
        Gates gates;
        for (const auto& gate : random_gates(12, 40, seed))
            for (int copy = 0; copy < (gate.size() == 2 ? 20 : 1); ++copy) gates.push_back(gate);
        QubitGraph reference_graph = make_graph(12, grid(3, 4));
        std::vector<SabreStep> expected;
        try {
            expected = reference_route(gates, 12, reference_graph, o);
        } catch (const std::runtime_error&) {
            EXPECT_THROW(router.route(gates, 12), std::invalid_argument);
            continue;
        }
        EXPECT_TRUE(same_steps(router.route(gates, 12).steps, expected)) << "seed=" << seed;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Options, MatchesReference,
    testing::Values(std::make_tuple(true, 1u, 0.5, 0.001), std::make_tuple(false, 0u, 0.5, 0.001),
                    std::make_tuple(false, 1u, 0.5, 0.001), std::make_tuple(false, 3u, 0.5, 0.001),
                    std::make_tuple(false, 2u, 1.5, 0.001), std::make_tuple(false, 2u, 0.5, 0.3),
                    std::make_tuple(false, 1u, 0.9, 0.1), std::make_tuple(false, 6u, 0.5, 0.001)));

}  // namespace
}  // namespace couplize
