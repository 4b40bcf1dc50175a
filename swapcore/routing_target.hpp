#pragma once
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "common/qubits.hpp"

namespace couplize {

// An immutable snapshot of a topology, what every engine routes against: the all-pairs distance
// table and each physical qubit's neighbour row. Built once per topology version (QubitGraph
// caches it) and shared read-only by `shared_ptr<const RoutingTarget>`, so routing never reads
// an object that Python can change meanwhile, and any number of threads may read one target.
//
// Neighbour rows list the edges in the order they were added, a duplicated edge twice, exactly
// as the graph holds them. Building costs one breadth-first search per vertex: O(n * (n + e))
// time and n * n distances of memory.
class RoutingTarget {
public:
    static constexpr std::uint32_t kUnreachable = std::numeric_limits<std::uint32_t>::max();

    // `adjacency[p]` lists the neighbours of physical qubit p; every entry must be below
    // adjacency.size() (the graph guarantees it).
    explicit RoutingTarget(const std::vector<std::vector<std::uint32_t>>& adjacency);

    std::uint32_t nb_physical() const { return nb_physical_; }

    // Edges on a shortest path from a to b, or kUnreachable. Both must be below nb_physical().
    std::uint32_t distance(Physical a, Physical b) const {
        return distances_[static_cast<std::size_t>(index(a)) * nb_physical_ + index(b)];
    }
    bool are_neighbours(Physical a, Physical b) const { return distance(a, b) == 1; }

    // Whole row-major table, nb_physical() * nb_physical() entries.
    const std::vector<std::uint32_t>& distances() const { return distances_; }

    std::span<const Physical> neighbours(Physical p) const {
        return {neighbours_.data() + row_start_[index(p)],
                neighbours_.data() + row_start_[index(p) + 1]};
    }
    // Length of the longest neighbour row (duplicates counted).
    std::uint32_t max_degree() const { return max_degree_; }
    // Largest finite distance (0 for a topology without edges).
    std::uint32_t diameter() const { return diameter_; }

    // A shortest path from `from` to `to`, both included; empty when none joins them. The
    // tie-break is the graph's: a vertex at distance d >= 2 from `from` is reached from its
    // lowest-numbered neighbour at distance d - 1. A pure function of its arguments (no cache).
    std::vector<Physical> path(Physical from, Physical to) const;

private:
    std::uint32_t nb_physical_ = 0;
    std::uint32_t max_degree_ = 0;
    std::uint32_t diameter_ = 0;
    std::vector<std::uint32_t> distances_;  // row-major, by (from, to)
    std::vector<std::size_t> row_start_;    // neighbours of p: [row_start_[p], row_start_[p + 1])
    std::vector<Physical> neighbours_;
};

}  // namespace couplize
