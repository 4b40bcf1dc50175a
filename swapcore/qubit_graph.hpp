#pragma once
#include <algorithm>
#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <vector>

#include "swapcore/routing_target.hpp"

namespace couplize {

// Undirected hardware topology over physical qubits 0..n-1.
//
// `path` returns a shortest path with a fixed tie-break: every vertex at distance d >= 2 from
// the source is reached from its lowest-numbered neighbour at distance d - 1 (the result of a
// Dijkstra search that finalises vertices in (distance, index) order). Results are cached per
// ordered pair, and the reverse pair receives the reversed path, so a later query in the other
// direction sees the first answer. Any successful `add_edge` empties the cache.
//
// `routing_target` is the immutable snapshot the engines route against (distances and neighbour
// rows), built lazily once per topology version (O(n * (n + e))) and shared by every copy of the
// graph until one of them changes. `distance` answers from it in O(1). The snapshot may be
// requested from any thread; `path` and `add_edge` are not thread-safe (the Python layer calls
// them with the interpreter lock held, and native routing never calls them).
class QubitGraph {
public:
    static constexpr std::uint32_t unreachable = RoutingTarget::kUnreachable;

    QubitGraph() = default;
    explicit QubitGraph(std::uint32_t n) : nbqubits_(n), adjacency_(n) {}
    QubitGraph(const QubitGraph& other)
        : nbqubits_(other.nbqubits_),
          adjacency_(other.adjacency_),
          path_cache_(other.path_cache_),
          target_(other.shared_target()) {}
    QubitGraph& operator=(const QubitGraph& other) {
        if (this == &other) return *this;
        std::shared_ptr<const RoutingTarget> target = other.shared_target();
        nbqubits_ = other.nbqubits_;
        adjacency_ = other.adjacency_;
        path_cache_ = other.path_cache_;
        const std::lock_guard<std::mutex> lock(target_mutex_);
        target_ = std::move(target);
        return *this;
    }

    std::uint32_t get_nbqubits() const { return nbqubits_; }

    // Loops and endpoints outside the graph are ignored; duplicates are stored again.
    void add_edge(std::uint32_t i, std::uint32_t j) {
        if (i == j || i >= nbqubits_ || j >= nbqubits_) return;
        adjacency_[i].push_back(j);
        adjacency_[j].push_back(i);
        path_cache_.clear();
        const std::lock_guard<std::mutex> lock(target_mutex_);
        target_.reset();
    }

    // The neighbours of `node` in the order the edges were added, duplicates kept.
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

    // The snapshot of the current topology; the same object until the next add_edge, which
    // leaves snapshots already handed out unchanged.
    std::shared_ptr<const RoutingTarget> routing_target() const {
        const std::lock_guard<std::mutex> lock(target_mutex_);
        if (!target_) target_ = std::make_shared<const RoutingTarget>(adjacency_);
        return target_;
    }

    // Number of edges on a shortest path from i to j, or `unreachable`.
    std::uint32_t distance(std::uint32_t i, std::uint32_t j) const {
        check_endpoint(i);
        check_endpoint(j);
        return routing_target()->distance(Physical{i}, Physical{j});
    }

    bool are_neighbours(std::uint32_t i, std::uint32_t j) const { return distance(i, j) == 1; }

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

    std::shared_ptr<const RoutingTarget> shared_target() const {
        const std::lock_guard<std::mutex> lock(target_mutex_);
        return target_;
    }

    std::uint32_t nbqubits_ = 0;
    std::vector<std::vector<std::uint32_t>> adjacency_;
    std::unordered_map<std::uint64_t, std::vector<std::uint32_t>> path_cache_;
    mutable std::mutex target_mutex_;
    mutable std::shared_ptr<const RoutingTarget> target_;  // null until first needed
};

}  // namespace couplize
