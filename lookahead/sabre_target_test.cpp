#include "lookahead/sabre_target.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "swapcore/test_topologies.hpp"

namespace couplize {
namespace {

using fixtures::Edges;
using fixtures::make_graph;

// Line 0-1-2 with the edge (1,2) twice, a hub 3 joined to 0, and 4 alone: rows of different
// degrees, a duplicated neighbour, and a qubit out of reach.
const Edges kEdges{{0, 1}, {1, 2}, {2, 1}, {3, 0}};

TEST(SabreTarget, LengthsAreDistancesPlusOneAndZeroOutOfReach) {
    const QubitGraph graph = make_graph(5, kEdges);
    const SabreTarget t(graph.routing_target());
    ASSERT_EQ(t.nb_physical(), 5u);
    for (std::uint32_t a = 0; a < 5; ++a)
        for (std::uint32_t b = 0; b < 5; ++b) {
            const std::uint32_t d = graph.distance(a, b);
            EXPECT_EQ(t.length(Physical{a}, Physical{b}),
                      d == QubitGraph::unreachable ? 0 : std::int64_t{d} + 1)
                << a << "," << b;
            EXPECT_EQ(t.lengths_from(Physical{a})[b], t.length(Physical{a}, Physical{b}));
        }
}

// Each row holds the neighbours in the topology's order, duplicates kept, then the qubit itself;
// the back index of every entry leads to an entry of the neighbour's row holding this qubit.
TEST(SabreTarget, RowsArePaddedAndTheBackIndexLeadsBack) {
    const QubitGraph graph = make_graph(5, kEdges);
    const SabreTarget t(graph.routing_target());
    ASSERT_EQ(t.row_width(), 3u);  // qubit 1: 0, 2, 2
    const std::vector<std::vector<std::uint32_t>> rows{
        {1, 3, 0}, {0, 2, 2}, {1, 1, 2}, {0, 3, 3}, {4, 4, 4}};
    const std::vector<std::uint32_t> degrees{2, 3, 2, 1, 0};
    for (std::uint32_t p = 0; p < 5; ++p) {
        EXPECT_EQ(t.degree(Physical{p}), degrees[p]);
        for (std::uint32_t k = 0; k < t.row_width(); ++k) {
            const std::size_t entry = t.row(Physical{p}) + k;
            const Physical q = t.neighbour_entries()[entry];
            EXPECT_EQ(index(q), rows[p][k]) << p << "," << k;
            EXPECT_EQ(t.neighbour_entries()[t.row(q) + t.back_entries()[entry]], Physical{p});
        }
    }
}

TEST(SabreTarget, KeepsItsRoutingTargetAlive) {
    std::shared_ptr<const SabreTarget> t;
    {
        QubitGraph graph = make_graph(3, {{0, 1}});
        t = std::make_shared<const SabreTarget>(graph.routing_target());
        graph.add_edge(1, 2);  // a new version; the snapshot taken stays as it was
    }
    EXPECT_EQ(t->target().nb_physical(), 3u);
    EXPECT_EQ(t->length(Physical{1}, Physical{2}), 0);
    EXPECT_EQ(t->target().diameter(), 1u);
}

}  // namespace
}  // namespace couplize
