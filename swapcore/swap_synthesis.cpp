#include "swapcore/swap_synthesis.hpp"

#include <cassert>
#include <stdexcept>
#include <string>

#include "swapcore/directed_graph.hpp"

namespace couplize {

void check_remap(const std::vector<std::uint32_t>& qbits, const std::vector<std::uint32_t>& remap) {
    if (qbits.size() != remap.size())
        throw std::invalid_argument("The remap lists " + std::to_string(qbits.size()) +
                                    " qubits but has " + std::to_string(remap.size()) + " entries");
    const std::size_t k = remap.size();
    std::vector<char> seen(k, 0);
    for (std::size_t i = 0; i < k; ++i) {
        if (remap[i] >= k)
            throw std::invalid_argument("The remap is not a permutation of its positions: entry " +
                                        std::to_string(i) + " is " + std::to_string(remap[i]) +
                                        ", not below " + std::to_string(k));
        if (seen[remap[i]])
            throw std::invalid_argument("The remap is not a permutation of its positions: " +
                                        std::to_string(remap[i]) + " appears twice");
        seen[remap[i]] = 1;
    }
    std::set<std::uint32_t> distinct;
    for (std::uint32_t q : qbits)
        if (!distinct.insert(q).second)
            throw std::invalid_argument("The remap lists qubit " + std::to_string(q) + " twice");
}

void check_remap(const std::vector<std::uint32_t>& qbits, const std::vector<std::uint32_t>& remap,
                 std::uint32_t nb_physical) {
    check_remap(qbits, remap);
    for (std::uint32_t q : qbits)
        if (q >= nb_physical)
            throw std::invalid_argument("The remap acts on qubit " + std::to_string(q) +
                                        ", which is not in the graph (" +
                                        std::to_string(nb_physical) + " qubits)");
}

SwapList cancel_inverse_pairs(const SwapList& swaps, std::uint32_t nb_physical) {
    std::vector<std::vector<std::size_t>> last_on(nb_physical);
    std::vector<char> removed(swaps.size(), 0);
    for (std::size_t i = 0; i < swaps.size(); ++i) {
        assert(index(swaps[i].first) < nb_physical && index(swaps[i].second) < nb_physical);
        auto& su = last_on[index(swaps[i].first)];
        auto& sv = last_on[index(swaps[i].second)];
        if (!su.empty() && !sv.empty() && su.back() == sv.back()) {
            removed[i] = removed[su.back()] = 1;
            su.pop_back();
            sv.pop_back();
        } else {
            su.push_back(i);
            sv.push_back(i);
        }
    }
    SwapList result;
    for (std::size_t i = 0; i < swaps.size(); ++i)
        if (!removed[i]) result.push_back(swaps[i]);
    return result;
}

const std::vector<Physical>& SwapPaths::path(Physical from, Physical to) {
    const auto key = [](Physical a, Physical b) {
        return (static_cast<std::uint64_t>(index(a)) << 32) | index(b);
    };
    if (auto found = paths_.find(key(from, to)); found != paths_.end()) return found->second;
    std::vector<Physical> forward = target_->path(from, to);
    if (from != to) paths_[key(to, from)] = std::vector<Physical>(forward.rbegin(), forward.rend());
    return paths_[key(from, to)] = std::move(forward);
}

SwapList find_swaps(SwapPaths& paths, const std::vector<std::uint32_t>& qbits,
                    const std::vector<std::uint32_t>& remap) {
    const std::uint32_t nb_physical = paths.target().nb_physical();
    check_remap(qbits, remap, nb_physical);

    const std::size_t k = qbits.size();
    SwapList swaps;
    std::vector<char> visited(k, 0);
    for (std::size_t l = 0; l < k; ++l) {
        if (visited[l]) continue;
        visited[l] = 1;
        for (std::size_t x = remap[l]; x != l; x = remap[x]) {
            visited[x] = 1;
            const std::vector<Physical>& p = paths.path(Physical{qbits[l]}, Physical{qbits[x]});
            if (p.empty())
                throw std::invalid_argument(
                    "Impossible to transform the classical remap into quantum swaps (the graph "
                    "is not connected)");
            const std::size_t m = p.size() - 1;  // >= 1: the qubits are distinct
            assert(m >= 1);
            for (std::size_t j = 0; j < m; ++j) swaps.emplace_back(p[j], p[j + 1]);
            for (std::size_t j = m - 1; j-- > 0;) swaps.emplace_back(p[j], p[j + 1]);
        }
    }
    return cancel_inverse_pairs(swaps, nb_physical);
}

SwapList find_swaps(const RoutingTarget& target, const std::vector<std::uint32_t>& qbits,
                    const std::vector<std::uint32_t>& remap) {
    SwapPaths paths(target);
    return find_swaps(paths, qbits, remap);
}

std::set<int> find_middle_swaps(GateList gates, std::uint32_t nb_physical) {
    for (std::size_t e = 0; e < gates.size(); ++e)
        for (std::uint32_t q : gates[e].second)
            if (q >= nb_physical)
                throw std::invalid_argument(
                    "Qubit " + std::to_string(q) + " of entry " + std::to_string(e) +
                    " is not below the number of qubits (" + std::to_string(nb_physical) + ")");

    DirectedGraph<Gate, std::uint32_t> dag;
    std::vector<int> last(nb_physical, dag.start_vertice);
    for (Gate& gate : gates) {
        const int v = dag.add_vertice(gate);
        for (std::uint32_t q : gate.second) {
            dag.add_edge(last[q], v, q);
            last[q] = v;
        }
    }
    dag.end_vertice = dag.add_vertice(Gate{false, {}});
    for (std::uint32_t q = 0; q < nb_physical; ++q) dag.add_edge(last[q], dag.end_vertice, q);

    const int m = static_cast<int>(gates.size());
    auto flagged = [&](int v) { return gates[static_cast<std::size_t>(v - 1)].first; };
    // after_gate[v]: v is flagged and some unflagged entry precedes it (the forward set);
    // before_gate[v]: v is flagged and some unflagged entry follows it (the backward set).
    std::vector<char> after_gate(static_cast<std::size_t>(m) + 2, 0);
    std::vector<char> before_gate(after_gate.size(), 0);
    for (int v = 1; v <= m; ++v) {
        if (!flagged(v)) continue;
        for (const auto& [q, p] : dag.vertex(v).predecessors)
            if (p != dag.start_vertice && (!flagged(p) || after_gate[p])) after_gate[v] = 1;
    }
    for (int v = m; v >= 1; --v) {
        if (!flagged(v)) continue;
        for (const auto& [q, s] : dag.vertex(v).successors)
            if (s != dag.end_vertice && (!flagged(s) || before_gate[s])) before_gate[v] = 1;
    }
    std::set<int> middle;
    for (int v = 1; v <= m; ++v)
        if (after_gate[v] && before_gate[v]) middle.insert(v - 1);
    return middle;
}

}  // namespace couplize
