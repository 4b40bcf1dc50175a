#include "swapcore/directed_graph.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>

#include "swapcore/gate.hpp"

namespace couplize {
namespace {

using Dag = DirectedGraph<Gate, std::uint32_t>;

template <typename Call>
std::string error_of(Call&& call) {
    try {
        call();
    } catch (const std::invalid_argument& error) {
        return error.what();
    }
    return "no exception";
}

// Every observable part of the graph, for "unchanged" checks.
std::string snapshot(const Dag& dag) {
    std::ostringstream out;
    out << dag.next_index << '|' << dag.start_vertice << '|' << dag.end_vertice;
    for (const auto& [index, vertex] : dag.vertices) {
        out << ';' << index << ':' << (vertex.value.first ? 'T' : 'F');
        for (std::uint32_t q : vertex.value.second) out << ',' << q;
        for (const auto& [label, to] : vertex.successors) out << " s" << label << '>' << to;
        for (const auto& [label, from] : vertex.predecessors) out << " p" << label << '<' << from;
    }
    return out.str();
}

const char* const kUndefined = "At least one index is not defined";
const char* const kLeaving =
    "A leaving edge with the same label is already defined (see first_index successor)";
const char* const kEntering =
    "An entering edge with the same label is already defined (see second_index predecessor)";

TEST(DirectedGraph, FreshGraph) {
    Dag dag;
    EXPECT_EQ(dag.start_vertice, 0);
    EXPECT_EQ(dag.end_vertice, 0);
    EXPECT_EQ(dag.next_index, 1);
    EXPECT_EQ(dag.vertices.size(), 1u);
    const Gate payload = dag.get_vertice(0);
    EXPECT_FALSE(payload.first);
    EXPECT_TRUE(payload.second.empty());
    EXPECT_EQ(error_of([&] { dag.get_vertice(1); }), "Invalid vertice index");
    EXPECT_EQ(error_of([&] { dag.get_vertice(-1); }), "Invalid vertice index");
    EXPECT_EQ(error_of([&] { dag.get_succ(0, 3); }), "Invalid label");
    EXPECT_EQ(error_of([&] { dag.get_pred(0, 3); }), "Invalid label");
    EXPECT_EQ(error_of([&] { dag.get_succ(1, 3); }), "Invalid vertice index");
    EXPECT_EQ(error_of([&] { dag.get_pred(1, 3); }), "Invalid vertice index");
}

TEST(DirectedGraph, AddVerticeHandsOutIndicesInOrderAndCopiesThePayload) {
    Dag dag;
    Gate gate{true, {3, 4}};
    EXPECT_EQ(dag.add_vertice(gate), 1);
    gate.second.push_back(9);
    EXPECT_EQ(dag.add_vertice(Gate{false, {1}}), 2);
    EXPECT_EQ(dag.next_index, 3);
    EXPECT_EQ(dag.get_vertice(1), (Gate{true, {3, 4}}));
    EXPECT_EQ(dag.get_vertice(2), (Gate{false, {1}}));
}

TEST(DirectedGraph, EdgesAreFollowedBothWays) {
    Dag dag;
    dag.add_vertice(Gate{true, {5}});
    dag.add_vertice(Gate{true, {5, 6}});
    dag.add_edge(0, 1, 5);
    dag.add_edge(1, 2, 5);
    dag.add_edge(0, 2, 6);
    EXPECT_EQ(dag.get_succ(0, 5), 1);
    EXPECT_EQ(dag.get_pred(1, 5), 0);
    EXPECT_EQ(dag.get_succ(1, 5), 2);
    EXPECT_EQ(dag.get_pred(2, 5), 1);
    EXPECT_EQ(dag.get_succ(0, 6), 2);
    EXPECT_EQ(dag.get_pred(2, 6), 0);
    EXPECT_EQ(error_of([&] { dag.get_pred(0, 5); }), "Invalid label");
    EXPECT_EQ(error_of([&] { dag.get_succ(2, 5); }), "Invalid label");
    EXPECT_EQ(error_of([&] { dag.get_succ(1, 6); }), "Invalid label");
}

TEST(DirectedGraph, LoopIsAccepted) {
    Dag dag;
    dag.add_edge(0, 0, 2);
    EXPECT_EQ(dag.get_succ(0, 2), 0);
    EXPECT_EQ(dag.get_pred(0, 2), 0);
    EXPECT_EQ(error_of([&] { dag.add_edge(0, 0, 2); }), kLeaving);
}

struct FailingEdge {
    std::string name;
    int first;
    int second;
    std::uint32_t label;
    std::string message;
};

class DirectedGraphFailures : public ::testing::TestWithParam<FailingEdge> {};

// Graph: vertices 0, 1, 2 (and 3) with the edge 0 -> 1 labelled 5; every failing call reports
// its message and leaves the graph exactly as it was.
TEST_P(DirectedGraphFailures, ReportsAndLeavesTheGraphUnchanged) {
    const FailingEdge& c = GetParam();
    Dag dag;
    dag.add_vertice(Gate{true, {5}});
    dag.add_vertice(Gate{true, {5}});
    dag.add_vertice(Gate{false, {}});
    dag.add_edge(0, 1, 5);
    const std::string before = snapshot(dag);
    EXPECT_EQ(error_of([&] { dag.add_edge(c.first, c.second, c.label); }), c.message);
    EXPECT_EQ(snapshot(dag), before);
}

INSTANTIATE_TEST_SUITE_P(
    Messages, DirectedGraphFailures,
    ::testing::Values(FailingEdge{"LeavingTwice", 0, 2, 5, kLeaving},
                      FailingEdge{"EnteringTwice", 2, 1, 5, kEntering},
                      FailingEdge{"MissingSecond", 0, 9, 5, kUndefined},
                      FailingEdge{"MissingFirst", 9, 1, 5, kUndefined},
                      FailingEdge{"MissingBeforeLeaving", -1, 1, 5, kUndefined},
                      // Both the leaving and the entering edge exist: the leaving one is reported.
                      FailingEdge{"SameEdgeAgain", 0, 1, 5, kLeaving}),
    [](const ::testing::TestParamInfo<FailingEdge>& param_info) { return param_info.param.name; });

TEST(DirectedGraph, OtherLabelsStayFree) {
    Dag dag;
    dag.add_vertice(Gate{});
    dag.add_vertice(Gate{});
    dag.add_edge(0, 1, 5);
    dag.add_edge(0, 2, 6);
    dag.add_edge(2, 1, 6);
    EXPECT_EQ(dag.get_succ(2, 6), 1);
    EXPECT_EQ(dag.get_pred(1, 6), 2);
    EXPECT_EQ(dag.get_pred(1, 5), 0);
}

TEST(DirectedGraph, PointerPayload) {
    int a = 1, b = 2;
    DirectedGraph<int*, std::uint32_t> dag;
    EXPECT_EQ(dag.get_vertice(0), nullptr);
    const int ia = dag.add_vertice(&a);
    const int ib = dag.add_vertice(&b);
    dag.add_edge(ia, ib, 0);
    EXPECT_EQ(dag.get_vertice(dag.get_succ(ia, 0)), &b);
    dag.end_vertice = ib;
    EXPECT_EQ(dag.get_pred(dag.end_vertice, 0), ia);
}

}  // namespace
}  // namespace couplize
