#include "lookahead/sabre_target.hpp"

#include <algorithm>
#include <cassert>
#include <utility>

namespace couplize {

SabreTarget::SabreTarget(std::shared_ptr<const RoutingTarget> target)
    : target_(std::move(target)),
      nb_physical_(target_->nb_physical()),
      row_width_(target_->max_degree()) {
    const std::vector<std::uint32_t>& distances = target_->distances();
    lengths_.resize(distances.size());
    for (std::size_t k = 0; k < distances.size(); ++k)
        lengths_[k] = distances[k] == RoutingTarget::kUnreachable
                          ? 0
                          : static_cast<std::int32_t>(distances[k]) + 1;
    neighbours_.resize(static_cast<std::size_t>(row_width_) * nb_physical_);
    degree_.resize(nb_physical_);
    for (std::uint32_t i = 0; i < nb_physical_; ++i) {
        const Physical p{i};
        const std::span<const Physical> around = target_->neighbours(p);
        Physical* entries = neighbours_.data() + row(p);
        std::fill(std::copy(around.begin(), around.end(), entries), entries + row_width_, p);
        degree_[i] = static_cast<std::uint32_t>(around.size());
    }
    build_back_index();
}

// O(neighbour entries): the entries (q, k') are grouped by the place p = neighbours(q)[k'] they
// hold, then each row of p looks its neighbours up in its own group.
void SabreTarget::build_back_index() {
    const std::uint32_t n = nb_physical_;
    back_.resize(neighbours_.size());
    std::vector<std::uint32_t> start(n + 1, 0);
    for (std::uint32_t q = 0; q < n; ++q)
        for (Physical p : target_->neighbours(Physical{q})) ++start[index(p) + 1];
    for (std::uint32_t p = 0; p < n; ++p) start[p + 1] += start[p];
    std::vector<std::uint32_t> fill(start.begin(), start.end() - 1), from(start[n]),
        entry(start[n]);
    for (std::uint32_t q = 0; q < n; ++q) {
        const std::span<const Physical> around = target_->neighbours(Physical{q});
        for (std::uint32_t k = 0; k < around.size(); ++k) {
            from[fill[index(around[k])]] = q;
            entry[fill[index(around[k])]++] = k;
        }
    }
    std::vector<std::uint32_t> at(n, 0);
    for (std::uint32_t p = 0; p < n; ++p) {
        for (std::uint32_t e = start[p]; e < start[p + 1]; ++e) at[from[e]] = entry[e];
        const std::size_t first = row(Physical{p});
        for (std::uint32_t k = 0; k < row_width_; ++k) {
            back_[first + k] = k < degree_[p] ? at[index(neighbours_[first + k])] : k;
            assert(neighbours_[row(neighbours_[first + k]) + back_[first + k]] == Physical{p});
        }
    }
}

}  // namespace couplize
