#pragma once
#include <algorithm>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <vector>

namespace couplize {

// Undirected hardware topology over physical qubits 0..n-1.
//
// `path` returns a shortest path with a fixed tie-break: every vertex at distance d >= 2 from
// the source is reached from its lowest-numbered neighbour at distance d - 1 (the result of a
// Dijkstra search that finalises vertices in (distance, index) order). Results are cached per
// ordered pair, and the reverse pair receives the reversed path, so a later query in the other
// direction sees the first answer. Any successful `add_edge` empties the cache.
//
// `distance` answers shortest-path lengths in O(1) from an all-pairs table built lazily by one
// breadth-first search per vertex (O(n * (n + e)) once per topology); hot loops use it instead of
// materialising paths.
class QubitGraph {
public:
    static constexpr std::uint32_t unreachable = std::numeric_limits<std::uint32_t>::max();

    QubitGraph() = default;
    explicit QubitGraph(std::uint32_t n) : nbqubits_(n), adjacency_(n) {}

    std::uint32_t get_nbqubits() const { return nbqubits_; }

    // Loops and endpoints outside the graph are ignored; duplicates are stored again.
    void add_edge(std::uint32_t i, std::uint32_t j) {
        if (i == j || i >= nbqubits_ || j >= nbqubits_) return;
        adjacency_[i].push_back(j);
        adjacency_[j].push_back(i);
        path_cache_.clear();
        distances_.clear();
    }

    std::vector<std::uint32_t> get_neighbours(std::uint32_t node) const { return neighbours(node); }

    // Reference access for hot loops; same check as get_neighbours.
    const std::vector<std::uint32_t>& neighbours(std::uint32_t node) const {
        if (node >= nbqubits_) throw std::invalid_argument("The given node is not is the graph");
        return adjacency_[node];
    }

    // Shortest path from i to j, both included; empty when j cannot be reached.
    std::vector<std::uint32_t> path(std::uint32_t i, std::uint32_t j) {
        check_endpoint(i);
        check_endpoint(j);
        const std::uint64_t key = pair_key(i, j);
        if (auto found = path_cache_.find(key); found != path_cache_.end()) return found->second;
        std::vector<std::uint32_t> result = search_path(i, j);
        if (result.empty()) return result;
        if (i != j)
            path_cache_[pair_key(j, i)] =
                std::vector<std::uint32_t>(result.rbegin(), result.rend());
        path_cache_[key] = result;
        return result;
    }

    // Same path as `path`, returned by reference into the cache (an empty path for unreachable
    // pairs). The reference stays valid until the next add_edge.
    const std::vector<std::uint32_t>& path_ref(std::uint32_t i, std::uint32_t j) {
        check_endpoint(i);
        check_endpoint(j);
        if (auto found = path_cache_.find(pair_key(i, j)); found != path_cache_.end())
            return found->second;
        path(i, j);
        auto found = path_cache_.find(pair_key(i, j));
        return found == path_cache_.end() ? no_path_ : found->second;
    }

    // Number of edges on a shortest path from i to j, or `unreachable`.
    std::uint32_t distance(std::uint32_t i, std::uint32_t j) {
        check_endpoint(i);
        check_endpoint(j);
        if (distances_.empty()) build_distances();
        return distances_[static_cast<std::size_t>(i) * nbqubits_ + j];
    }

    // Whole row-major distance table (n * n entries, `unreachable` for other components).
    const std::vector<std::uint32_t>& distance_table() {
        if (distances_.empty() && nbqubits_ > 0) build_distances();
        return distances_;
    }

    bool are_neighbours(std::uint32_t i, std::uint32_t j) { return distance(i, j) == 1; }

private:
    static std::uint64_t pair_key(std::uint32_t i, std::uint32_t j) {
        return (static_cast<std::uint64_t>(i) << 32) | j;
    }

    void check_endpoint(std::uint32_t node) const {
        if (node >= nbqubits_)
            throw std::invalid_argument("Qubit " + std::to_string(node) + " is not in the graph (" +
                                        std::to_string(nbqubits_) + " qubits)");
    }

    // Breadth-first search level by level, each level expanded in increasing vertex order, so
    // that a vertex's predecessor is its lowest-numbered neighbour on the previous level.
    std::vector<std::uint32_t> search_path(std::uint32_t i, std::uint32_t j) const {
        if (i == j) return {i};
        std::vector<std::uint32_t> prev(nbqubits_, unreachable);
        std::vector<char> seen(nbqubits_, 0);
        std::vector<std::uint32_t> level{i}, next;
        seen[i] = 1;
        while (!level.empty()) {
            std::sort(level.begin(), level.end());
            next.clear();
            for (std::uint32_t u : level) {
                for (std::uint32_t v : adjacency_[u]) {
                    if (seen[v]) continue;
                    seen[v] = 1;
                    prev[v] = u;
                    next.push_back(v);
                }
            }
            if (seen[j]) break;
            level.swap(next);
        }
        if (!seen[j]) return {};
        std::vector<std::uint32_t> result{j};
        while (result.back() != i) result.push_back(prev[result.back()]);
        return {result.rbegin(), result.rend()};
    }

    void build_distances() {
        const std::size_t n = nbqubits_;
        distances_.assign(n * n, unreachable);
        std::vector<std::uint32_t> queue(n);
        for (std::uint32_t s = 0; s < nbqubits_; ++s) {
            std::uint32_t* row = distances_.data() + static_cast<std::size_t>(s) * n;
            std::size_t head = 0, tail = 0;
            row[s] = 0;
            queue[tail++] = s;
            while (head < tail) {
                const std::uint32_t u = queue[head++];
                for (std::uint32_t v : adjacency_[u]) {
                    if (row[v] != unreachable) continue;
                    row[v] = row[u] + 1;
                    queue[tail++] = v;
                }
            }
        }
    }

    std::uint32_t nbqubits_ = 0;
    std::vector<std::vector<std::uint32_t>> adjacency_;
    std::unordered_map<std::uint64_t, std::vector<std::uint32_t>> path_cache_;
    std::vector<std::uint32_t> distances_;  // row-major n * n, empty until first needed
    inline static const std::vector<std::uint32_t> no_path_{};
};

}  // namespace couplize
