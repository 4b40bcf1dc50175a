#include "swapcore/initial_mapping.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "swapcore/test_topologies.hpp"

namespace couplize {
namespace {

using fixtures::grid_edges;
using fixtures::line_edges;
using fixtures::line_graph;
using fixtures::make_graph;

Placement identity(std::uint32_t n) {
    Placement p(n);
    for (std::uint32_t q = 0; q < n; ++q) p[q] = q;
    return p;
}

std::vector<Interaction> random_interactions(std::uint32_t n, std::size_t count, unsigned seed) {
    std::mt19937 rng(seed);
    std::vector<Interaction> result;
    for (std::size_t k = 0; k < count; ++k) {
        const std::uint32_t a = rng() % n;
        std::uint32_t b = rng() % (n - 1);
        if (b >= a) ++b;
        result.push_back({a, b});
    }
    return result;
}

// Tables exactly as find_initial_mapping builds them, for the searches below.
struct Tables {
    WeightTable w;
    DistanceTable d;
};

Tables tables_for(const std::vector<Interaction>& interactions, QubitGraph graph) {
    const std::uint32_t n = graph.get_nbqubits();
    const std::uint32_t limit = static_cast<std::uint32_t>(std::floor(n * std::log2(double(n))));
    std::map<std::pair<std::uint32_t, std::uint32_t>, double> weights;
    std::uint32_t k = 0;
    for (const Interaction& i : interactions) {
        if (k == limit) break;
        ++k;
        weights[{i[0], i[1]}] += 1.0 / k;
        weights[{i[1], i[0]}] += 1.0 / k;
    }
    std::vector<std::uint32_t> d;
    for (std::uint32_t p = 0; p < n; ++p)
        for (std::uint32_t q = 0; q < n; ++q) {
            const std::size_t vertices = graph.path(p, q).size();
            d.push_back(static_cast<std::uint32_t>(vertices * vertices));
        }
    return {WeightTable(n, weights), DistanceTable(n, d)};
}

// The exhaustive search as a single shared successor generator: n! successors from the start,
// a strictly better score replaces the best.
Placement reference_brute_force(const Placement& start, const Tables& t) {
    Placement perm = start, best = start;
    double best_score = 0.0;
    is_new_best_score(best, t.w, t.d, std::numeric_limits<double>::infinity(), best_score, true);
    std::uint64_t total = 1;
    for (std::size_t k = 2; k <= start.size(); ++k) total *= k;
    for (std::uint64_t it = 0; it < total; ++it) {
        std::next_permutation(perm.begin(), perm.end());
        double score = 0.0;
        if (is_new_best_score(perm, t.w, t.d, best_score, score, true)) {
            best_score = score;
            best = perm;
        }
    }
    return best;
}

// The branch and bound exactly as specified: a prefix is cut only when its own score is not
// strictly below the best.
bool reference_explore(Placement& prefix, const Placement& remaining, const Tables& t,
                       double& best) {
    double score = 0.0;
    if (!is_new_best_score(prefix, t.w, t.d, best, score, false)) return false;
    if (remaining.empty()) {
        best = score;
        return true;
    }
    bool improved = false;
    Placement kept;
    for (std::size_t k = 0; k < remaining.size(); ++k) {
        Placement child = prefix, rest = remaining;
        child.push_back(remaining[k]);
        rest.erase(rest.begin() + static_cast<std::ptrdiff_t>(k));
        if (reference_explore(child, rest, t, best)) {
            kept = child;
            improved = true;
        }
    }
    if (improved) prefix = kept;
    return improved;
}

double score_of(const Placement& p, const Tables& t) {
    double score = 0.0;
    is_new_best_score(p, t.w, t.d, std::numeric_limits<double>::infinity(), score, true);
    return score;
}

TEST(Factorial, ExactUpToTwelveThenRefused) {
    const std::uint32_t expected[] = {1,    1,     2,      6,       24,       120,      720,
                                      5040, 40320, 362880, 3628800, 39916800, 479001600};
    for (std::uint32_t n = 0; n <= 12; ++n) {
        EXPECT_EQ(factorial(n), expected[n]) << n;
    }
    EXPECT_THROW(factorial(13), std::invalid_argument);
}

TEST(Score, EarlyExitKeepsAPartialSumAboveTheBest) {
    const Tables t = tables_for({{0, 2}, {1, 2}}, line_graph(3));
    double score = 0.0;
    // identity: w(0,2)=w(2,0)=1 at distance 9, w(1,2)=w(2,1)=1/2 at distance 4
    EXPECT_FALSE(is_new_best_score(identity(3), t.w, t.d, 5.0, score, false));
    EXPECT_GT(score, 5.0);
    EXPECT_LT(score, 22.0);
    EXPECT_TRUE(is_new_best_score(identity(3), t.w, t.d, 22.5, score, false));
    EXPECT_DOUBLE_EQ(score, 22.0);
    EXPECT_FALSE(is_new_best_score(identity(3), t.w, t.d, 22.0, score, true));
    EXPECT_DOUBLE_EQ(score, 22.0);
    // A prefix counts only pairs inside it; the empty prefix scores 0.
    EXPECT_TRUE(is_new_best_score(Placement{0, 1}, t.w, t.d, 1.0, score, true));
    EXPECT_DOUBLE_EQ(score, 0.0);
    EXPECT_FALSE(is_new_best_score(Placement{}, t.w, t.d, 0.0, score, true));
}

TEST(Unrank, FollowsSuccessorOrder) {
    Placement perm{3, 5, 7, 8, 9};
    const Placement sorted = perm;
    for (std::uint64_t rank = 0; rank < 120; ++rank) {
        ASSERT_EQ(detail::unrank(sorted, rank), perm) << rank;
        ASSERT_EQ(detail::rank_of(perm), rank);
        std::next_permutation(perm.begin(), perm.end());
    }
}

TEST(InitialMapping, LineOfThreeOptima) {
    const std::vector<Interaction> gate{{0, 2}};
    const Tables t = tables_for(gate, line_graph(3));
    EXPECT_DOUBLE_EQ(score_of(identity(3), t), 18.0);
    for (int threads : {1, 2, 3})
        EXPECT_EQ(find_initial_mapping(gate, *line_graph(3).routing_target(), true, threads),
                  (Placement{0, 2, 1}));
    const std::vector<Placement> optima{{0, 2, 1}, {1, 0, 2}, {1, 2, 0}, {2, 0, 1}};
    std::vector<bool> met(optima.size(), false);
    for (std::uint32_t seed = 0; seed < 40; ++seed) {
        seed_initial_mapping(seed);
        const Placement found = find_initial_mapping(gate, *line_graph(3).routing_target(), false);
        const auto at = std::find(optima.begin(), optima.end(), found);
        ASSERT_NE(at, optima.end());
        EXPECT_DOUBLE_EQ(score_of(found, t), 8.0);
        met[at - optima.begin()] = true;
    }
    EXPECT_EQ(std::count(met.begin(), met.end(), true), 4) << "the shuffle picks every optimum";
}

TEST(InitialMapping, SeedMakesTheRandomisedSearchReproducible) {
    const auto interactions = random_interactions(7, 30, 5);
    const QubitGraph graph = make_graph(7, line_edges(7));
    seed_initial_mapping(99);
    const Placement first = find_initial_mapping(interactions, *graph.routing_target(), false);
    seed_initial_mapping(99);
    EXPECT_EQ(find_initial_mapping(interactions, *graph.routing_target(), false), first);
}

// Seeded randomised searches on several threads at once (the thread sanitizer pass of the test
// command runs this): each seed gives what it gives alone, since the reseeding and the draws of
// one search cannot interleave with another's.
TEST(InitialMapping, ConcurrentSeededSearchesAreReproducible) {
    const auto interactions = random_interactions(7, 30, 5);
    const std::shared_ptr<const RoutingTarget> graph =
        make_graph(7, line_edges(7)).routing_target();
    constexpr std::uint32_t kThreads = 6;
    std::vector<Placement> alone(kThreads);
    for (std::uint32_t t = 0; t < kThreads; ++t)
        alone[t] = find_initial_mapping(interactions, *graph, false, 0, {}, t);
    std::vector<int> mismatches(kThreads, 0);
    std::vector<std::thread> threads;
    for (std::uint32_t t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int round = 0; round < 20; ++round)
                mismatches[t] +=
                    find_initial_mapping(interactions, *graph, false, 0, {}, t) != alone[t];
        });
    for (std::thread& thread : threads) thread.join();
    for (std::uint32_t t = 0; t < kThreads; ++t) EXPECT_EQ(mismatches[t], 0) << "seed " << t;
}

TEST(InitialMapping, NothingInteractingKeepsTheIdentity) {
    const std::vector<Interaction> one_qubit{{0}, {}, {3}};
    for (bool parallel : {true, false})
        EXPECT_EQ(find_initial_mapping(one_qubit, *line_graph(5).routing_target(), parallel),
                  identity(5));
    EXPECT_EQ(find_initial_mapping({}, *QubitGraph(0).routing_target(), true), Placement{});
    EXPECT_EQ(find_initial_mapping({{0}}, *QubitGraph(1).routing_target(), false), Placement{0});
}

struct SearchCase {
    const char* name;
    std::uint32_t n;
    fixtures::Edges edges;
    std::size_t gates;
    unsigned seed;
};

class SearchAgreement : public ::testing::TestWithParam<SearchCase> {};

// Block-split brute force equals the single-generator reference for every thread count, and
// the branch and bound reaches the same optimal score.
TEST_P(SearchAgreement, MatchesReference) {
    const SearchCase& c = GetParam();
    const auto interactions = random_interactions(c.n, c.gates, c.seed);
    const QubitGraph graph = make_graph(c.n, c.edges);
    const Tables t = tables_for(interactions, graph);
    const Placement expected = reference_brute_force(identity(c.n), t);
    for (int threads : {1, 2, 3, 5}) {
        Placement start = identity(c.n);
        EXPECT_EQ(force_brut_search(start, c.n, t.w, t.d, threads), expected) << threads;
        EXPECT_EQ(start, identity(c.n));
        EXPECT_EQ(find_initial_mapping(interactions, *graph.routing_target(), true, threads),
                  expected);
    }
    for (std::uint32_t seed = 0; seed < 4; ++seed) {
        seed_initial_mapping(seed);
        const Placement found = find_initial_mapping(interactions, *graph.routing_target(), false);
        EXPECT_EQ(score_of(found, t), score_of(expected, t)) << "seed " << seed;
    }
}

// The remaining-weight bound only cuts subtrees that could not win: the placements found are
// those of the plain branch and bound, for any visiting order.
TEST_P(SearchAgreement, BoundKeepsThePlainBranchAndBound) {
    const SearchCase& c = GetParam();
    const Tables t =
        tables_for(random_interactions(c.n, c.gates, c.seed), make_graph(c.n, c.edges));
    std::mt19937 rng(c.seed);
    for (int round = 0; round < 3; ++round) {
        Placement order = identity(c.n);
        std::shuffle(order.begin(), order.end(), rng);
        double best = score_of(identity(c.n), t), reference_best = best;
        Placement prefix, reference_prefix;
        const bool found = explore_partially(prefix, order, t.w, t.d, best);
        ASSERT_EQ(found, reference_explore(reference_prefix, order, t, reference_best));
        EXPECT_EQ(best, reference_best);
        if (found) {
            EXPECT_EQ(prefix, reference_prefix);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Topologies, SearchAgreement,
    ::testing::Values(SearchCase{"Line5", 5, line_edges(5), 12, 1},
                      SearchCase{"Grid2x3", 6, grid_edges(2, 3), 20, 2},
                      SearchCase{"Star6", 6, {{0, 1}, {0, 2}, {0, 3}, {0, 4}, {0, 5}}, 20, 3},
                      SearchCase{"Ring7", 7,
                                 [] {
                                     auto e = line_edges(7);
                                     e.emplace_back(6, 0);
                                     return e;
                                 }(),
                                 25, 4},
                      SearchCase{"Line7SymmetricTies", 7, line_edges(7), 1, 6}),
    [](const ::testing::TestParamInfo<SearchCase>& param) { return param.param.name; });

TEST(InitialMapping, WeightLimitStopsTheThreeQubitCheck) {
    // n = 3: only the first floor(3 * log2 3) = 4 two-qubit operations are weighted; the scan
    // stops at the fifth, so a later three-qubit operation is never looked at.
    std::vector<Interaction> ops(4, Interaction{0, 1});
    ops.push_back({0, 1, 2});
    EXPECT_THROW(find_initial_mapping(ops, *line_graph(3).routing_target(), true),
                 std::invalid_argument);
    ops.insert(ops.begin(), Interaction{1, 2});
    EXPECT_NO_THROW(find_initial_mapping(ops, *line_graph(3).routing_target(), true));
}

// Both searches poll the stop check and give up when it answers true.
TEST(InitialMapping, StopCheckEndsLongSearches) {
    const auto interactions = random_interactions(11, 60, 7);
    const QubitGraph graph = line_graph(11);
    for (bool parallel : {true, false}) {
        int calls = 0;
        const StopCheck stop_second = [&calls] { return ++calls == 2; };
        seed_initial_mapping(3);
        EXPECT_THROW(
            find_initial_mapping(interactions, *graph.routing_target(), parallel, 2, stop_second),
            SearchStopped)
            << parallel;
        EXPECT_EQ(calls, 2);
    }
    const StopCheck never = [] { return false; };
    EXPECT_EQ(find_initial_mapping({{0, 2}}, *line_graph(3).routing_target(), true, 2, never),
              (Placement{0, 2, 1}));
}

struct RejectCase {
    const char* name;
    std::vector<Interaction> interactions;
    QubitGraph graph;
    bool parallel;
    std::string message;
};

class InitialMappingRejects : public ::testing::TestWithParam<RejectCase> {};

TEST_P(InitialMappingRejects, WithMessage) {
    const RejectCase& c = GetParam();
    try {
        find_initial_mapping(c.interactions, *c.graph.routing_target(), c.parallel);
        FAIL() << "no exception";
    } catch (const std::invalid_argument& e) {
        EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, InitialMappingRejects,
    ::testing::Values(RejectCase{"Disconnected",
                                 {},
                                 make_graph(4, {{0, 1}, {2, 3}}),
                                 false,
                                 "The graph is not connected"},
                      RejectCase{"ThreeQubitGate",
                                 {{0, 1, 2}},
                                 line_graph(3),
                                 true,
                                 "Gate with an arity strict greater than 2 are not allowed here"},
                      RejectCase{
                          "QubitOutsideGraph",
                          {{0, 1}, {2, 5}},
                          line_graph(4),
                          false,
                          "Operation 1 acts on qubit 5, which is not in the graph (4 qubits)"},
                      RejectCase{"ThirteenQubitsExhaustive",
                                 {},
                                 line_graph(13),
                                 true,
                                 "13! placements of 13 qubits (12 at most); use parallel=False"}),
    [](const ::testing::TestParamInfo<RejectCase>& param) { return param.param.name; });

TEST(InitialMapping, ThirteenQubitsRandomisedSearchRuns) {
    // Only the exhaustive search is bounded by 12 qubits.
    seed_initial_mapping(1);
    EXPECT_EQ(find_initial_mapping({{0}, {12}}, *line_graph(13).routing_target(), false),
              identity(13));
}

}  // namespace
}  // namespace couplize
