#include "lookahead/group_graph.hpp"

#include <algorithm>
#include <stdexcept>
#include <string>
#include <utility>

namespace couplize {

GroupGraph::GroupGraph(std::uint32_t nb_logical, std::vector<std::vector<std::uint32_t>> gates)
    : nb_logical_(nb_logical), gate_lists_(std::move(gates)) {
    constexpr int kSource = 0;
    std::vector<int> last_vertex(nb_logical_, kSource);
    // A later two-qubit gate on one of the qubits started another group: no two-qubit gate joins
    // it any more, one-qubit gates still do.
    std::vector<char> closed(1, 0);
    gates_.emplace_back();  // source
    pairs_.emplace_back();
    links_.emplace_back();
    for (std::uint32_t i = 0; i < gate_lists_.size(); ++i) {
        const std::vector<std::uint32_t>& qubits = gate_lists_[i];
        if (qubits.empty() || qubits.size() > 2) throw std::invalid_argument(kGateArityMessage);
        for (std::uint32_t q : qubits)
            if (q >= nb_logical_)
                throw std::invalid_argument("Gate " + std::to_string(i) + " acts on qubit " +
                                            std::to_string(q) + ", but the circuit has only " +
                                            std::to_string(nb_logical_) + " qubits");
        if (qubits.size() == 1) {
            if (const int v = last_vertex[qubits[0]]; v != kSource) {
                gates_[v].push_back(i);
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
        if (g != kSource && g == h && !closed[g]) {
            gates_[g].push_back(i);
            ++pairs_[g].nb_two_qubit_gates;
            continue;
        }
        if (g != kSource) closed[g] = 1;
        if (h != kSource) closed[h] = 1;
        const int v = static_cast<int>(pairs_.size());
        gates_.push_back({i});
        pairs_.push_back(GateGroup{Logical{a}, Logical{b}, 1});
        closed.push_back(0);
        links_.push_back(Links{{g, h}, {0, 0}});
        link_succ(g, a, v);
        link_succ(h, b, v);
        if (g == kSource && h == kSource) front_layer_.push_back(v);
        last_vertex[a] = last_vertex[b] = v;
    }
    sink_ = static_cast<int>(pairs_.size());
    gates_.emplace_back();  // sink
    pairs_.emplace_back();
    links_.emplace_back();
    for (std::uint32_t q = 0; q < nb_logical_; ++q) link_succ(last_vertex[q], q, sink_);
    executed_.assign(pairs_.size(), 0);
    executed_[kSource] = 1;
    mark_.assign(pairs_.size(), 0);
}

bool GroupGraph::ready(int vertex) const {
    if (vertex == sink_) return false;
    const Links& links = links_[vertex];
    return executed_[links.pred[0]] && executed_[links.pred[1]];
}

const std::vector<std::uint32_t>* GroupGraph::pop_front_group(int vertex) {
    if (vertex < 0 || static_cast<std::size_t>(vertex) >= pairs_.size())
        throw std::invalid_argument("Invalid vertice index");
    auto found = std::find(front_layer_.begin(), front_layer_.end(), vertex);
    if (found == front_layer_.end()) return nullptr;
    front_layer_.erase(found);
    executed_[vertex] = 1;
    const int s1 = links_[vertex].succ[0];
    const int s2 = links_[vertex].succ[1];
    if (ready(s1)) front_layer_.push_back(s1);
    if (s2 != s1 && ready(s2)) front_layer_.push_back(s2);
    return &gates_[vertex];
}

void GroupGraph::link_succ(int from, std::uint32_t qubit, int to) {
    if (from == 0) return;
    links_[from].succ[index(pairs_[from].first) == qubit ? 0 : 1] = to;
}

void GroupGraph::look_ahead(unsigned depth, std::vector<int>& out) {
    out.clear();
    if (depth == 0) return;
    if (++epoch_ == 0) {  // wrapped: forget stale marks
        std::fill(mark_.begin(), mark_.end(), 0);
        epoch_ = 1;
    }
    level_.assign(front_layer_.begin(), front_layer_.end());
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

}  // namespace couplize
