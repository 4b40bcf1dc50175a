#pragma once
#include <cstdint>
#include <vector>

#include "lookahead/gate_group.hpp"

namespace couplize {

// Dependency DAG of gate groups, built once per routing call and consumed front layer by front
// layer.
//
// A group is a maximal run of two-qubit gates on one pair of qubits, together with the one-qubit
// gates that follow them on either qubit until the next two-qubit gate on that qubit. Vertex 0 is
// the source (executed from the start), groups get 1, 2, ... in creation order and the sink comes
// last. Every group vertex has one predecessor and one successor per qubit of its pair, so
// following them walks along one qubit wire. The front layer lists, in insertion order, the groups
// whose predecessors are all executed; its groups never share a qubit. One-qubit gates met before
// any two-qubit gate on their qubit are begin gates, outside every group.
//
// Construction is O(gates); popping a group is O(front layer).
class GroupGraph {
public:
    static constexpr const char* kGateArityMessage =
        "SABRE algorithm does not accept gateswhich act one more than 2 qubits";

    // `gates[i]` is the list of qubits of operation i. Throws std::invalid_argument for a gate on
    // zero or more than two qubits, a qubit not below `nb_logical`, or a two-qubit gate naming the
    // same qubit twice.
    GroupGraph(std::uint32_t nb_logical, std::vector<std::vector<std::uint32_t>> gates);

    GroupGraph(const GroupGraph&) = delete;
    GroupGraph& operator=(const GroupGraph&) = delete;

    int sink() const { return sink_; }
    const std::vector<std::vector<std::uint32_t>>& gate_lists() const { return gate_lists_; }
    // Number of group vertices (source and sink excluded).
    std::size_t nb_groups() const { return pairs_.size() - 2; }

    const std::vector<int>& front_layer() const { return front_layer_; }
    // Indices of the begin gates, in circuit order.
    const std::vector<int>& begin_gates() const { return begin_gates_; }

    // Qubit pair and two-qubit gate count of a group vertex. Unchecked: `vertex` must be a group.
    const GateGroup& group(int vertex) const { return pairs_[vertex]; }
    // Executes a front group: removes it from the front layer, marks it executed and appends the
    // successors that become ready. Returns its gates, or null, changing nothing, when `vertex`
    // is not in the front layer. Throws std::invalid_argument for a vertex outside the graph.
    const std::vector<std::uint32_t>* pop_front_group(int vertex);

    // Every group reachable from the front layer by 1 to `depth` edges (never the sink), each
    // once, in the order of a breadth-first walk that visits each group once, so a large depth
    // costs O(groups), not one visit per path. Into a reusable buffer.
    void look_ahead(unsigned depth, std::vector<int>& out);

private:
    // True when both predecessors of the group are executed; false for the sink.
    bool ready(int vertex) const;

    // Records `to` as the successor along `qubit` of vertex `from` (the source has no links).
    void link_succ(int from, std::uint32_t qubit, int to);

    std::uint32_t nb_logical_;
    int sink_ = 0;
    std::vector<std::vector<std::uint32_t>> gate_lists_;
    std::vector<int> begin_gates_;
    std::vector<int> front_layer_;
    struct Links {
        int pred[2];  // along first, second
        int succ[2];
    };
    std::vector<Links> links_;                       // by vertex id, filled for group vertices
    std::vector<GateGroup> pairs_;                   // by vertex id, filled for group vertices
    std::vector<std::vector<std::uint32_t>> gates_;  // by vertex id, empty for source and sink
    std::vector<char> executed_;                     // by vertex id
    // Scratch of the breadth-first walk.
    std::vector<std::uint32_t> mark_;
    std::uint32_t epoch_ = 0;
    std::vector<int> level_, next_;
};

}  // namespace couplize
