#include "lookahead/sabre_trials.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <limits>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "swapcore/test_topologies.hpp"

namespace couplize {
namespace {

using Gates = std::vector<std::vector<std::uint32_t>>;
using fixtures::make_graph;

Gates random_two_qubit_gates(std::uint32_t n, std::size_t count, unsigned seed) {
    std::mt19937 rng(seed);
    Gates gates;
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint32_t a = rng() % n, b = rng() % (n - 1);
        gates.push_back({a, b >= a ? b + 1 : b});
        if (rng() % 3 == 0) gates.push_back({a});
    }
    return gates;
}

bool same_steps(const SabreResult& a, const SabreResult& b) {
    return std::equal(a.steps.begin(), a.steps.end(), b.steps.begin(), b.steps.end(),
                      [](const SabreStep& s, const SabreStep& t) {
                          return s.gate == t.gate && s.first == t.first && s.second == t.second;
                      }) &&
           a.initial_order == b.initial_order && a.final_layout == b.final_layout;
}

// Replays the steps from the initial order: gates on neighbours, on the right logical qubits,
// and the final layout where the SWAPs left the qubits.
void expect_valid(const SabreResult& r, const Gates& gates, QubitGraph& g) {
    std::vector<std::uint32_t> holder(r.final_layout.size());
    for (std::uint32_t q = 0; q < r.initial_order.size(); ++q) holder[r.initial_order[q]] = q;
    std::size_t executed = 0;
    for (const SabreStep& step : r.steps) {
        const std::uint32_t first = index(step.first), second = index(step.second);
        if (step.second != SabreStep::kNone) {
            ASSERT_EQ(g.distance(first, second), 1u);
        }
        if (step.is_swap()) {
            std::swap(holder[first], holder[second]);
            continue;
        }
        ++executed;
        EXPECT_EQ(holder[first], gates[step.gate][0]);
        if (step.second != SabreStep::kNone) {
            EXPECT_EQ(holder[second], gates[step.gate][1]);
        }
    }
    EXPECT_EQ(executed, gates.size());
    EXPECT_EQ(holder, r.final_layout);
}

// (placement search, seed)
class Trials : public testing::TestWithParam<std::tuple<bool, unsigned>> {};

// The kept trial has the fewest SWAPs of all trials, the lowest index on ties, and the result
// is the same whatever the number of threads.
TEST_P(Trials, KeepTheFewestSwapsWhateverTheThreadCount) {
    const auto [placement, seed] = GetParam();
    QubitGraph g = make_graph(12, fixtures::grid_edges(3, 4));
    const Gates gates = random_two_qubit_gates(12, 80, seed);
    SabreTrialOptions options;
    options.trials = 9;  // trial 7 scores by the front layer only
    options.seed = seed;
    options.search_placement = placement;

    options.threads = 1;
    const SabreResult single = SabreTrials(g.routing_target(), {}).route(gates, 12, options);
    expect_valid(single, gates, g);
    for (unsigned threads : {2u, 3u, 8u}) {
        options.threads = threads;
        const SabreResult r = SabreTrials(g.routing_target(), {}).route(gates, 12, options);
        EXPECT_TRUE(same_steps(r, single)) << threads << " threads";
        EXPECT_EQ(r.trial, single.trial);
    }

    // Each trial alone, as one-trial searches cannot do it: replay with the trial's ties.
    std::vector<std::size_t> swaps;
    for (unsigned t = 0; t < options.trials; ++t) {
        SabreRouter router(g.routing_target(), {});
        router.set_ties(t > 0, SabreTrials::trial_seed(seed, t));
        router.set_window(SabreTrials::trial_window(1, t, placement));
        router.set_basic_heuristic(SabreTrials::trial_basic(false, t));
        SabreResult r = router.route(gates, 12);
        if (placement) {
            std::vector<std::uint32_t> order(12);
            auto order_of = [&](const SabreResult& x) {
                for (std::uint32_t p = 0; p < 12; ++p) order[x.final_layout[p]] = p;
                return order;
            };
            const Gates reversed(gates.rbegin(), gates.rend());
            for (unsigned round = 0; round < SabreTrialOptions::kPlacementRounds; ++round) {
                const SabreResult back = router.route(reversed, 12, order_of(r));
                r = router.route(gates, 12, order_of(back));
            }
        }
        swaps.push_back(r.nb_swaps);
        if (t == single.trial) {
            EXPECT_TRUE(same_steps(r, single));
        }
    }
    const auto fewest = std::min_element(swaps.begin(), swaps.end());
    EXPECT_EQ(single.trial, static_cast<unsigned>(fewest - swaps.begin()));
    EXPECT_NE(std::min_element(swaps.begin(), swaps.end()),
              std::max_element(swaps.begin(), swaps.end()))
        << "random ties should give trials of different lengths";
}

INSTANTIATE_TEST_SUITE_P(Modes, Trials,
                         testing::Combine(testing::Bool(), testing::Values(1u, 2u, 3u)));

TEST(TrialSearch, OneTrialIsThePlainRouting) {
    QubitGraph g = make_graph(12, fixtures::grid_edges(3, 4));
    const Gates gates = random_two_qubit_gates(12, 60, 4);
    SabreTrialOptions options;
    options.seed = 99;
    EXPECT_TRUE(same_steps(SabreTrials(g.routing_target(), {}).route(gates, 12, options),
                           SabreRouter(g.routing_target(), {}).route(gates, 12)));
}

TEST(TrialSearch, EveryEighthTrialUsesTheFrontLayerOnly) {
    EXPECT_FALSE(SabreTrials::trial_basic(false, 0));
    EXPECT_TRUE(SabreTrials::trial_basic(false, 7));
    EXPECT_TRUE(SabreTrials::trial_basic(false, 15));
    EXPECT_TRUE(SabreTrials::trial_basic(true, 3));
}

TEST(TrialSearch, LookAheadDepthCyclesWithoutOverflow) {
    // Routing alone, trial 0 keeps the caller's depth and the others look one or two levels
    // deeper in turn; with placement search, the depth cycles through 0, 1 and 2 levels deeper.
    const unsigned routing[] = {1, 2, 3, 2, 3, 2, 3, 2, 3};
    const unsigned placement[] = {1, 2, 3, 1, 2, 3, 1, 2, 3};
    for (unsigned t = 0; t < std::size(routing); ++t) {
        EXPECT_EQ(SabreTrials::trial_window(1, t), routing[t]) << "trial " << t;
        EXPECT_EQ(SabreTrials::trial_window(1, t, true), placement[t]) << "trial " << t;
    }
    EXPECT_EQ(SabreTrials::trial_window(0, 5), 1u);
    // A negative depth from Python is a huge one: it already reaches every group.
    const unsigned all = std::numeric_limits<unsigned>::max();
    for (bool search_placement : {false, true}) {
        EXPECT_EQ(SabreTrials::trial_window(all, 2, search_placement), all);
        EXPECT_EQ(SabreTrials::trial_window(all - 1, 1, search_placement), all);
    }
}

TEST(TrialSearch, ErrorsReachTheCaller) {
    QubitGraph g = make_graph(4, {{0, 1}, {2, 3}});
    SabreTrialOptions options;
    options.trials = 0;
    EXPECT_THROW(SabreTrials(g.routing_target(), {}).route({{0, 1}}, 4, options),
                 std::invalid_argument);
    options.trials = 5;
    options.threads = 3;
    try {
        SabreTrials(g.routing_target(), {}).route({{0, 2}}, 4, options);
        ADD_FAILURE() << "no exception";
    } catch (const std::invalid_argument& e) {
        EXPECT_EQ(std::string(e.what()).rfind("Qubits 0 and 2 of a two-qubit gate", 0), 0u);
    }
    EXPECT_THROW(
        SabreTrials(std::shared_ptr<const RoutingTarget>{}, {}).route({{0, 1}}, 2, options),
        MissingTopology);
}

}  // namespace
}  // namespace couplize
