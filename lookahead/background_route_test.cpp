#include "lookahead/background_route.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <stdexcept>
#include <tuple>
#include <vector>

#include "lookahead/layer_fixture.hpp"
#include "swapcore/test_topologies.hpp"

namespace couplize {
namespace {

using Gates = std::vector<std::vector<std::uint32_t>>;

// Runs of two-qubit gates on random pairs after two opening one-qubit gates (begin gates).
Gates random_gates(std::uint32_t n, std::size_t count, unsigned seed) {
    Gates gates{{0}, {n - 1}};
    const Gates pairs = fixtures::random_two_qubit_gates(n, count, seed);
    gates.insert(gates.end(), pairs.begin(), pairs.end());
    return gates;
}

bool same_step(const SabreStep& s, const SabreStep& t) {
    return s.gate == t.gate && s.first == t.first && s.second == t.second;
}

bool same_steps(const std::vector<SabreStep>& a, const std::vector<SabreStep>& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), same_step);
}

// (two-qubit gates, seed): from less than one batch of steps to many.
class StreamedRouting : public testing::TestWithParam<std::tuple<std::size_t, unsigned>> {};

// What the consumer takes, batch after batch, is the routing's every step in order, and the
// result is the one routing on the caller's thread gives.
TEST_P(StreamedRouting, ConcurrentStreamGivesTheSameRouting) {
    const auto [count, seed] = GetParam();
    QubitGraph g = fixtures::make_graph(20, fixtures::grid_edges(4, 5));
    const Gates gates = random_gates(20, count, seed);
    SabreRouter inline_router(g.routing_target(), {});
    const SabreResult expected = inline_router.route(gates, 20);

    SabreRouter router(g.routing_target(), {});
    BackgroundRoute background(router);
    Gates moved = gates;
    ASSERT_TRUE(background.start(moved, 20));
    std::vector<SabreStep> taken, batch;
    std::size_t batches = 0;
    while (background.stream().take(batch, true) == StepStream::Take::batch) {
        taken.insert(taken.end(), batch.begin(), batch.end());
        ++batches;
    }
    EXPECT_EQ(background.stream().nb_begin_gates(), expected.nb_begin_gates);
    const SabreResult result = background.finish();
    EXPECT_TRUE(same_steps(taken, expected.steps));
    EXPECT_TRUE(same_steps(result.steps, expected.steps));
    EXPECT_EQ(result.final_layout, expected.final_layout);
    EXPECT_EQ(result.nb_swaps, expected.nb_swaps);
    EXPECT_GE(batches, 1u);
}

INSTANTIATE_TEST_SUITE_P(Sizes, StreamedRouting,
                         testing::Combine(testing::Values(0, 10, 3000), testing::Values(1u, 2u)));

// A routing that fails ends the stream; finish rethrows its error.
TEST(BackgroundRoute, ConcurrentErrorIsRethrownByFinish) {
    QubitGraph g = fixtures::line_graph(3);
    SabreRouter too_small(g.routing_target(), {});
    BackgroundRoute background(too_small);
    Gates gates = {{0, 3}};
    ASSERT_TRUE(background.start(gates, 4));
    std::vector<SabreStep> batch;
    EXPECT_EQ(background.stream().take(batch, true), StepStream::Take::ended);
    EXPECT_THROW(background.finish(), std::invalid_argument);

    SabreRouter no_topology(std::shared_ptr<const SabreTarget>{}, {});
    BackgroundRoute missing(no_topology);
    Gates two_qubit = {{0}, {0, 1}};
    ASSERT_TRUE(missing.start(two_qubit, 2));
    EXPECT_THROW(missing.finish(), MissingTopology);
}

// A consumer that stops early (its own error) does not wait for the whole routing: the routing
// stops at its next batch.
TEST(BackgroundRoute, ConcurrentCancelStopsTheRouting) {
    QubitGraph g = fixtures::line_graph(40);
    SabreRouter router(g.routing_target(), {});
    Gates gates = random_gates(40, 200000, 3);
    {
        BackgroundRoute background(router);
        ASSERT_TRUE(background.start(gates, 40));
        std::vector<SabreStep> batch;
        ASSERT_EQ(background.stream().take(batch, true), StepStream::Take::batch);
    }
    // The router is usable again afterwards.
    const Gates small = random_gates(40, 50, 4);
    EXPECT_EQ(router.route(small, 40).steps.size(),
              SabreRouter(g.routing_target(), {}).route(small, 40).steps.size());
}

}  // namespace
}  // namespace couplize
