#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "common/qubits.hpp"
#include "swapcore/routing_target.hpp"

namespace couplize {

// The routing target in the layout the SABRE scan reads: path lengths in qubits and padded
// neighbour rows with their back index, all derived from one RoutingTarget, which it keeps
// alive. Immutable once built, so any number of routers and threads may share one; building
// costs O(n^2) for n physical qubits, so a caller routing many circuits on one topology builds
// it once.
//
// Every physical qubit p gets a row of `row_width()` neighbour entries: its neighbours in the
// topology's order (duplicates kept), then padding holding p itself, so that a move there
// changes nothing and the scan needs no per-row bound.
class SabreTarget {
public:
    explicit SabreTarget(std::shared_ptr<const RoutingTarget> target);

    const RoutingTarget& target() const { return *target_; }
    std::uint32_t nb_physical() const { return nb_physical_; }
    // Entries per neighbour row: the largest degree (duplicates counted).
    std::uint32_t row_width() const { return row_width_; }

    // Path length in qubits between two physical qubits (distance + 1), 0 when no path joins
    // them; so the length of a front group is always positive and two neighbours have length 2.
    std::int64_t length(Physical p, Physical q) const {
        return lengths_[static_cast<std::size_t>(index(p)) * nb_physical_ + index(q)];
    }
    // The row of lengths from p, indexed by physical qubit.
    const std::int32_t* lengths_from(Physical p) const {
        return lengths_.data() + static_cast<std::size_t>(index(p)) * nb_physical_;
    }

    // Offset of p's row in the neighbour and back-index tables.
    std::size_t row(Physical p) const { return static_cast<std::size_t>(index(p)) * row_width_; }
    // Neighbour entries, row by row; the first degree(p) of row p are real.
    const Physical* neighbour_entries() const { return neighbours_.data(); }
    std::uint32_t degree(Physical p) const { return degree_[index(p)]; }
    // For neighbour entry k of p, holding q: an entry of q's row that holds p (padding entries
    // point to themselves).
    const std::uint32_t* back_entries() const { return back_.data(); }

private:
    void build_back_index();

    std::shared_ptr<const RoutingTarget> target_;
    std::uint32_t nb_physical_ = 0;
    std::uint32_t row_width_ = 0;
    std::vector<std::int32_t> lengths_;  // row-major by (from, to)
    std::vector<Physical> neighbours_;
    std::vector<std::uint32_t> degree_, back_;
};

}  // namespace couplize
