// The path finder's bound on candidate enumeration: what fits the entry limit is enumerated
// exactly as without a limit, what does not throws before growing, and long windows of
// executable interactions do not nest calls.
#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
#include <vector>

#include "swapcore/path_finder.hpp"
#include "swapcore/test_topologies.hpp"

namespace couplize {
namespace {

std::size_t total_entries(const CandidateSet& candidates) { return candidates.steps.size(); }

// Far-apart pairs on a line of 10: every window position splits the search several ways.
std::vector<Interaction> far_pairs(std::size_t count) {
    std::vector<Interaction> result;
    for (std::size_t k = 0; k < count; ++k)
        result.push_back(k % 2 == 0 ? Interaction{0, 9} : Interaction{2, 7});
    return result;
}

class EntryLimit : public testing::TestWithParam<std::uint32_t> {};

TEST_P(EntryLimit, ExactlyTheEntriesThatFitAreAccepted) {
    const std::uint32_t window = GetParam();
    PathFinder unbounded(fixtures::line_graph(10).routing_target(), window);
    unbounded.set_interaction_list(far_pairs(6));
    unbounded.step(0);
    const std::size_t needed = total_entries(unbounded.candidates());

    PathFinder exact(fixtures::line_graph(10).routing_target(), window);
    exact.set_entry_limit(needed);
    exact.set_interaction_list(far_pairs(6));
    exact.step(0);
    EXPECT_EQ(exact.candidates().steps.size(), needed);
    EXPECT_EQ(exact.candidates().offsets, unbounded.candidates().offsets);

    PathFinder short_by_one(fixtures::line_graph(10).routing_target(), window);
    short_by_one.set_entry_limit(needed - 1);
    short_by_one.set_interaction_list(far_pairs(6));
    EXPECT_THROW(short_by_one.step(0), std::invalid_argument);
}

INSTANTIATE_TEST_SUITE_P(Windows, EntryLimit, testing::Values(1u, 2u, 3u));

TEST(EntryLimit, HugeWindowOnFarGatesThrowsInsteadOfExhaustingMemory) {
    PathFinder finder(fixtures::line_graph(10).routing_target(), 0xFFFFFFFFu);
    finder.set_interaction_list(far_pairs(40000));
    try {
        finder.step(0);
        FAIL() << "expected std::invalid_argument";
    } catch (const std::invalid_argument& e) {
        EXPECT_NE(std::string(e.what()).find("use a smaller window_size"), std::string::npos);
    }
}

// Pseudo-random distinct pairs on 10 qubits (a fixed linear congruential sequence).
std::vector<Interaction> random_pairs(std::size_t count) {
    std::vector<Interaction> result;
    std::uint64_t state = 12345;
    auto next = [&state] {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        return static_cast<std::uint32_t>(state >> 33) % 10;
    };
    while (result.size() < count) {
        const std::uint32_t a = next(), b = next();
        if (a != b) result.push_back({a, b});
    }
    return result;
}

TEST(EntryLimit, FewestChoiceSearchIsBoundedToo) {
    PathFinder finder(fixtures::line_graph(10).routing_target(), 64);
    finder.set_entry_limit(1000);
    finder.set_interaction_list(random_pairs(200));
    EXPECT_THROW(finder.route_fewest(), std::invalid_argument);

    PathFinder small(fixtures::line_graph(10).routing_target(),
                     3);  // a small window stays far below the limit
    small.set_entry_limit(1000);
    small.set_interaction_list(random_pairs(200));
    EXPECT_NO_THROW(small.route_fewest());
}

TEST(EntryLimit, LongRunOfExecutableInteractionsInTheWindowDoesNotNest) {
    // One split, then a run of interactions that stay adjacent whatever the split chose.
    std::vector<Interaction> interactions{{0, 2}};
    interactions.insert(interactions.end(), 200000, Interaction{3, 4});
    PathFinder finder(fixtures::line_graph(5).routing_target(), 0xFFFFFFFFu);
    finder.set_interaction_list(interactions);
    finder.step(0);
    ASSERT_EQ(finder.candidates().size(), 2u);
    EXPECT_EQ(finder.candidates().length(0), 200002u);  // a SWAP, the split gate, the run
}

}  // namespace
}  // namespace couplize
