#include "swapcore/routing_target.hpp"

#include <algorithm>
#include <cassert>

namespace couplize {

RoutingTarget::RoutingTarget(const std::vector<std::vector<std::uint32_t>>& adjacency)
    : nb_physical_(static_cast<std::uint32_t>(adjacency.size())) {
    const std::size_t n = nb_physical_;
    row_start_.assign(n + 1, 0);
    for (std::size_t p = 0; p < n; ++p) {
        row_start_[p + 1] = row_start_[p] + adjacency[p].size();
        max_degree_ = std::max(max_degree_, static_cast<std::uint32_t>(adjacency[p].size()));
    }
    neighbours_.reserve(row_start_[n]);
    for (const std::vector<std::uint32_t>& row : adjacency)
        for (std::uint32_t q : row) {
            assert(q < n);
            neighbours_.push_back(Physical{q});
        }

    distances_.assign(n * n, kUnreachable);
    std::vector<std::uint32_t> queue(n);
    for (std::uint32_t s = 0; s < nb_physical_; ++s) {
        std::uint32_t* row = distances_.data() + static_cast<std::size_t>(s) * n;
        std::size_t head = 0, tail = 0;
        row[s] = 0;
        queue[tail++] = s;
        while (head < tail) {
            const std::uint32_t u = queue[head++];
            diameter_ = std::max(diameter_, row[u]);
            for (Physical v : neighbours(Physical{u})) {
                if (row[index(v)] != kUnreachable) continue;
                row[index(v)] = row[u] + 1;
                queue[tail++] = index(v);
            }
        }
    }
}

std::vector<Physical> RoutingTarget::path(Physical from, Physical to) const {
    const std::uint32_t length = distance(from, to);
    if (length == kUnreachable) return {};
    // Walk back from `to`: each step goes to the lowest-numbered neighbour one step closer to
    // `from`, which is the predecessor a level-by-level search in vertex order would record.
    std::vector<Physical> result(length + 1);
    result[length] = to;
    for (std::uint32_t d = length; d > 1; --d) {
        Physical best{kUnreachable};
        for (Physical u : neighbours(result[d]))
            if (distance(from, u) == d - 1 && index(u) < index(best)) best = u;
        assert(index(best) != kUnreachable);
        result[d - 1] = best;
    }
    result[0] = from;
    return result;
}

}  // namespace couplize
