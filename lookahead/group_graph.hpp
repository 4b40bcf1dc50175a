#pragma once
#include <algorithm>
#include <cstdint>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "lookahead/gate_group.hpp"
#include "swapcore/directed_graph.hpp"

namespace couplize {

// Dependency DAG of gate groups, built once per routing call and consumed front layer by front
// layer.
//
// Vertex 0 is the source (executed from the start), groups get 1, 2, ... in creation order and
// the sink comes last; source and sink carry a null group. Every group vertex has exactly one
// entering and one leaving edge per qubit of its pair, labelled with that qubit, so following a
// label walks along one qubit wire. The front layer lists, in insertion order, the groups whose
// predecessors are all executed; its groups never share a qubit.
//
// Construction is O(gates); popping a group is O(front layer).
class GroupGraph {
public:
    using Dag = DirectedGraph<GateGroup*, unsigned int>;

    static constexpr const char* kGateArityMessage =
        "SABRE algorithm does not accept gateswhich act one more than 2 qubits";

    // `gates[i]` is the list of qubits of operation i. Throws std::invalid_argument for a gate on
    // zero or more than two qubits, a qubit not below `nbqbits`, or a two-qubit gate naming the
    // same qubit twice; everything built so far is released.
    GroupGraph(std::uint32_t nbqbits, std::vector<std::vector<std::uint32_t>> gates)
        : nbqbits_(nbqbits), gate_lists_(std::move(gates)) {
        constexpr int kSource = 0;
        std::vector<int> last_vertex(nbqbits_, kSource);
        groups_.emplace_back();  // source
        links_.emplace_back();
        for (std::uint32_t i = 0; i < gate_lists_.size(); ++i) {
            const std::vector<std::uint32_t>& qubits = gate_lists_[i];
            if (qubits.empty() || qubits.size() > 2) throw std::invalid_argument(kGateArityMessage);
            for (std::uint32_t q : qubits) check_qubit(i, q);
            if (qubits.size() == 1) {
                if (const int v = last_vertex[qubits[0]]; v != kSource) {
                    groups_[v].gates.push_back(i);
                } else {
                    begin_gates_.push_back(static_cast<int>(i));
                }
                continue;
            }
            const std::uint32_t a = qubits[0], b = qubits[1];
            if (a == b)
                throw std::invalid_argument("Gate " + std::to_string(i) + " acts twice on qubit " +
                                            std::to_string(a));
            const int g = last_vertex[a], h = last_vertex[b];
            if (g != kSource && g == h && !groups_[g].closed) {
                groups_[g].gates.push_back(i);
                ++groups_[g].nb_multiqubit_gates;
                continue;
            }
            if (g != kSource) groups_[g].closed = true;
            if (h != kSource) groups_[h].closed = true;
            const int v = static_cast<int>(groups_.size());
            groups_.push_back(GateGroup{{i}, a, b, 1, false});
            links_.push_back(Links{{g, h}, {0, 0}});
            link_succ(g, a, v);
            link_succ(h, b, v);
            if (g == kSource && h == kSource) front_layer_.push_back(v);
            last_vertex[a] = last_vertex[b] = v;
        }
        sink_ = static_cast<int>(groups_.size());
        groups_.emplace_back();  // sink
        links_.emplace_back();
        for (std::uint32_t q = 0; q < nbqbits_; ++q) link_succ(last_vertex[q], q, sink_);
        pairs_.resize(groups_.size());
        for (int v = 1; v < sink_; ++v) {
            const GateGroup& g = groups_[v];
            pairs_[v] = GroupPair{g.first_qubit, g.second_qubit, g.nb_multiqubit_gates};
        }
        executed_.assign(groups_.size(), 0);
        executed_[kSource] = 1;
        mark_.assign(groups_.size(), 0);
    }

    GroupGraph(const GroupGraph&) = delete;
    GroupGraph& operator=(const GroupGraph&) = delete;

    std::uint32_t get_nbqbits() const { return nbqbits_; }
    // The dependency graph as a labelled DAG whose vertices carry no value, built on demand for
    // inspection (the routing loop reads the dense links). O(groups log groups).
    Dag graph() const {
        Dag dag;
        for (int v = 1; v <= sink_; ++v) dag.add_vertice(nullptr);
        dag.end_vertice = sink_;
        std::vector<char> has_group(nbqbits_, 0);
        for (int v = 1; v < sink_; ++v) {
            const GateGroup& g = groups_[v];
            const std::uint32_t qubits[2] = {g.first_qubit, g.second_qubit};
            for (int k = 0; k < 2; ++k) {
                dag.add_edge(v, links_[v].succ[k], qubits[k]);
                if (links_[v].pred[k] == 0) {
                    dag.add_edge(0, v, qubits[k]);
                    has_group[qubits[k]] = 1;
                }
            }
        }
        for (std::uint32_t q = 0; q < nbqbits_; ++q)
            if (!has_group[q]) dag.add_edge(0, sink_, q);
        return dag;
    }
    int source() const { return 0; }
    int sink() const { return sink_; }
    const std::vector<std::vector<std::uint32_t>>& gate_lists() const { return gate_lists_; }
    // Number of group vertices (source and sink excluded).
    std::size_t nb_groups() const { return groups_.size() - 2; }

    std::vector<int> get_front_layer() const { return front_layer_; }
    const std::vector<int>& front_layer() const { return front_layer_; }
    std::vector<int> get_begin_gates() const { return begin_gates_; }
    const std::vector<int>& begin_gates() const { return begin_gates_; }

    bool is_executed(int vertex) const { return executed_.at(checked_vertex(vertex)) != 0; }
    std::set<int> get_executed() const {
        std::set<int> result;
        for (std::size_t v = 0; v < executed_.size(); ++v)
            if (executed_[v]) result.insert(static_cast<int>(v));
        return result;
    }

    std::pair<std::uint32_t, std::uint32_t> get_pair_qubits(int vertex) const {
        const GateGroup& g = checked_group(vertex);
        return {g.first_qubit, g.second_qubit};
    }

    int card_multiqubits_gates(int vertex) const {
        return checked_group(vertex).nb_multiqubit_gates;
    }

    // Unchecked access for the routing loop: `vertex` must be a group vertex.
    const GateGroup& group(int vertex) const { return groups_[vertex]; }

    // Qubit pair and two-qubit gate count of a group vertex, from a dense table: the routing
    // loop reads them for every front and look-ahead group of every layer. Unchecked.
    struct GroupPair {
        std::uint32_t first = 0, second = 0;
        std::int32_t card = 0;
    };
    const GroupPair& pair(int vertex) const { return pairs_[vertex]; }

    // True when both predecessors of the group are executed; false for the sink and the source.
    bool can_insert_in_front(int vertex) const {
        checked_vertex(vertex);
        if (vertex == sink_ || vertex == 0) return false;
        const Links& links = links_[vertex];
        return executed_[links.pred[0]] && executed_[links.pred[1]];
    }

    // Executes a front group: removes it from the front layer, marks it executed and appends the
    // successors that become ready. Returns null, changing nothing, when `vertex` is not in the
    // front layer.
    const GateGroup* pop_front_group(int vertex) {
        checked_vertex(vertex);
        auto found = std::find(front_layer_.begin(), front_layer_.end(), vertex);
        if (found == front_layer_.end()) return nullptr;
        front_layer_.erase(found);
        executed_[vertex] = 1;
        const GateGroup* g = &groups_[vertex];
        const int s1 = links_[vertex].succ[0];
        const int s2 = links_[vertex].succ[1];
        if (can_insert_in_front(s1)) front_layer_.push_back(s1);
        if (s2 != s1 && can_insert_in_front(s2)) front_layer_.push_back(s2);
        return g;
    }

    // Adds to `out` the groups reachable from `vertex` by 1 to `depth` edges (never the sink).
    void get_succ_groups(int& vertex, std::set<int>& out, unsigned& depth) {
        checked_group(vertex);
        std::vector<int> found;
        reach(&vertex, &vertex + 1, depth, found);
        out.insert(found.begin(), found.end());
    }

    // The look-ahead groups: every group reachable from the front layer by 1 to `depth` edges.
    std::set<int> close_layers(unsigned depth) {
        std::vector<int> found;
        close_layers(depth, found);
        return {found.begin(), found.end()};
    }

    // Same set into a reusable buffer, in increasing vertex id. A breadth-first walk that visits
    // each group once, so a large depth costs O(groups), not one visit per path.
    void close_layers(unsigned depth, std::vector<int>& out) {
        look_ahead(depth, out);
        std::sort(out.begin(), out.end());
    }

    // Same set in the walk's order, for callers that only sum over it.
    void look_ahead(unsigned depth, std::vector<int>& out) {
        out.clear();
        reach(front_layer_.data(), front_layer_.data() + front_layer_.size(), depth, out);
    }

private:
    void check_qubit(std::uint32_t gate, std::uint32_t qubit) const {
        if (qubit >= nbqbits_)
            throw std::invalid_argument("Gate " + std::to_string(gate) + " acts on qubit " +
                                        std::to_string(qubit) + ", but the circuit has only " +
                                        std::to_string(nbqbits_) + " qubits");
    }

    int checked_vertex(int vertex) const {
        if (vertex < 0 || static_cast<std::size_t>(vertex) >= groups_.size())
            throw std::invalid_argument("Invalid vertice index");
        return vertex;
    }

    const GateGroup& checked_group(int vertex) const {
        checked_vertex(vertex);
        if (vertex == 0 || vertex == sink_) throw std::invalid_argument("Invalid vertice index");
        return groups_[vertex];
    }

    // Records `to` as the successor along `qubit` of vertex `from` (the source has no links).
    void link_succ(int from, std::uint32_t qubit, int to) {
        if (from == 0) return;
        links_[from].succ[groups_[from].first_qubit == qubit ? 0 : 1] = to;
    }

    // Appends to `out` every group at 1..depth edges from the starting vertices, each once.
    void reach(const int* begin, const int* end, unsigned depth, std::vector<int>& out) {
        if (depth == 0) return;
        if (++epoch_ == 0) {  // wrapped: forget stale marks
            std::fill(mark_.begin(), mark_.end(), 0);
            epoch_ = 1;
        }
        level_.assign(begin, end);
        for (std::uint64_t d = 1; d <= depth && !level_.empty(); ++d) {
            next_.clear();
            for (int v : level_) {
                for (int s : links_[v].succ) {
                    if (s == sink_ || mark_[s] == epoch_) continue;
                    mark_[s] = epoch_;
                    out.push_back(s);
                    next_.push_back(s);
                }
            }
            level_.swap(next_);
        }
    }

    std::uint32_t nbqbits_;
    int sink_ = 0;
    std::vector<std::vector<std::uint32_t>> gate_lists_;
    std::vector<int> begin_gates_;
    std::vector<int> front_layer_;
    struct Links {
        int pred[2];  // along first_qubit, second_qubit
        int succ[2];
    };
    std::vector<Links> links_;       // by vertex id, filled for group vertices
    std::vector<GroupPair> pairs_;   // by vertex id, filled for group vertices
    std::vector<char> executed_;     // by vertex id
    std::vector<GateGroup> groups_;  // by vertex id; empty for source and sink
    // Scratch of the breadth-first walk.
    std::vector<std::uint32_t> mark_;
    std::uint32_t epoch_ = 0;
    std::vector<int> level_, next_;
};

}  // namespace couplize
