#include "swapcore/initial_mapping.hpp"

#include <algorithm>
#include <atomic>
#include <cassert>
#include <cmath>
#include <limits>
#include <string>

#ifdef _OPENMP
#include <omp.h>
#endif
#if defined(__unix__) || defined(__APPLE__)
#include <unistd.h>
#endif

namespace couplize {

WeightTable::WeightTable(std::uint32_t n,
                         const std::map<std::pair<std::uint32_t, std::uint32_t>, double>& w)
    : row_start_(static_cast<std::size_t>(n) + 1, 0) {
    for (const auto& [pair, value] : w) {
        if (pair.first >= n || pair.second >= n)
            throw std::invalid_argument("Weight of qubit pair outside the placement");
        ++row_start_[pair.first + 1];
    }
    for (std::uint32_t i = 0; i < n; ++i) row_start_[i + 1] += row_start_[i];
    column_.reserve(w.size());
    weight_.reserve(w.size());
    for (const auto& [pair, value] : w) {  // ordered by (row, column)
        column_.push_back(pair.second);
        weight_.push_back(value);
    }
}

std::uint32_t factorial(std::uint32_t n) {
    if (n > 12) throw std::invalid_argument(std::to_string(n) + "! does not fit in 32 bits");
    std::uint32_t result = 1;
    for (std::uint32_t k = 2; k <= n; ++k) result *= k;
    return result;
}

namespace detail {

inline double exact_score(const Placement& perm, const WeightTable& w, const DistanceTable& d) {
    double score = 0.0;
    is_new_best_score(perm, w, d, std::numeric_limits<double>::infinity(), score, true);
    return score;
}

std::uint64_t rank_of(const Placement& perm) {
    std::uint64_t rank = 0;
    const std::size_t n = perm.size();
    for (std::size_t i = 0; i < n; ++i) {
        std::uint64_t smaller_after = 0;
        for (std::size_t j = i + 1; j < n; ++j) smaller_after += perm[j] < perm[i];
        rank = rank * (n - i) + smaller_after;
    }
    return rank;
}

Placement unrank(Placement sorted_values, std::uint64_t rank) {
    const std::size_t n = sorted_values.size();
    std::vector<std::uint64_t> digits(n, 0);
    for (std::size_t base = 1; base <= n; ++base) {  // digit of position n - base has base values
        digits[n - base] = rank % base;
        rank /= base;
    }
    Placement result;
    result.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        result.push_back(sorted_values[digits[i]]);
        sorted_values.erase(sorted_values.begin() + static_cast<std::ptrdiff_t>(digits[i]));
    }
    return result;
}

// Whether this process may open an OpenMP parallel region. GNU OpenMP keeps its worker pool
// across regions, and a child forked after the parent used it finds the pool unusable and
// hangs in its first region; such a child (its pid differs from the one that first opened a
// region) runs the search on its own thread instead, with the same result.
bool parallel_region_is_safe() {
#if defined(__unix__) || defined(__APPLE__)
    static std::atomic<long> owner{0};
    const long self = static_cast<long>(getpid());
    long expected = 0;
    return owner.compare_exchange_strong(expected, self) || expected == self;
#else
    return true;
#endif
}

}  // namespace detail

Placement force_brut_search(Placement& perm, const std::uint32_t& n, const WeightTable& w,
                            const DistanceTable& d, int threads, const StopCheck& stop) {
    if (perm.size() != n)
        throw std::invalid_argument("The placement has " + std::to_string(perm.size()) +
                                    " entries for " + std::to_string(n) + " qubits");
    if (n > 12)
        throw std::invalid_argument(
            "The exhaustive placement search cannot enumerate the " + std::to_string(n) +
            "! placements of " + std::to_string(n) +
            " qubits (12 at most); use parallel=False for the branch and bound search");
    const std::uint64_t total = factorial(n);
    const std::uint64_t start_rank = detail::rank_of(perm);
    Placement sorted_values = perm;
    std::sort(sorted_values.begin(), sorted_values.end());

    std::mutex best_lock;
    Placement best = perm;
    double best_score = detail::exact_score(perm, w, d);
    std::uint64_t best_iteration = 0;
    bool best_is_start = true;  // the start wins every tie
    std::atomic<double> shared_bound{best_score};

    auto search_block = [&](std::uint64_t first, std::uint64_t last) {
        if (first >= last) return;
        Placement local = detail::unrank(sorted_values, (start_rank + 1 + first) % total);
        double local_best = std::numeric_limits<double>::infinity();
        for (std::uint64_t it = first; it < last; ++it) {
            const double bound = shared_bound.load(std::memory_order_relaxed);
            double score = 0.0;
            is_new_best_score(local, w, d, std::min(bound, local_best), score, false);
            // An early exit leaves a partial sum above the bound, which fails one of these.
            if (score < local_best && score <= bound) {
                local_best = score;
                std::lock_guard<std::mutex> guard(best_lock);
                if (score < best_score ||
                    (score == best_score && !best_is_start && it < best_iteration)) {
                    best_score = score;
                    best = local;
                    best_iteration = it;
                    best_is_start = false;
                    shared_bound.store(score, std::memory_order_relaxed);
                }
            }
            std::next_permutation(local.begin(), local.end());  // wraps to the first
        }
    };

    // Iterations run in rounds of 2^20 (tens of milliseconds), each split into one contiguous
    // block per thread; `stop` is asked between rounds, outside any parallel region.
    constexpr std::uint64_t kRound = std::uint64_t{1} << 20;
#ifdef _OPENMP
    const bool parallel = detail::parallel_region_is_safe();
    const int team = threads > 0 ? threads : omp_get_max_threads();
#else
    (void)threads;
#endif
    for (std::uint64_t begin = 0; begin < total; begin += kRound) {
        if (begin > 0 && stop && stop()) throw SearchStopped();
        const std::uint64_t size = std::min(kRound, total - begin);
#ifdef _OPENMP
        if (parallel) {
#pragma omp parallel num_threads(team)
            {
                const std::uint64_t count = static_cast<std::uint64_t>(omp_get_num_threads());
                const std::uint64_t t = static_cast<std::uint64_t>(omp_get_thread_num());
                const std::uint64_t base = size / count, extra = size % count;
                const std::uint64_t first = begin + t * base + std::min(t, extra);
                search_block(first, first + base + (t < extra ? 1 : 0));
            }
            continue;
        }
#endif
        search_block(begin, begin + size);
    }
    return best;
}

InitialMappingRandom& InitialMappingRandom::get() {
    static InitialMappingRandom* source = [] {
        auto* s = new InitialMappingRandom();  // lives as long as the process
        std::random_device random_seed_generator("default");
        s->engine.seed(random_seed_generator());
        return s;
    }();
    return *source;
}

void seed_initial_mapping(std::uint32_t seed) {
    InitialMappingRandom& source = InitialMappingRandom::get();
    std::lock_guard<std::mutex> guard(source.lock);
    source.engine.seed(seed);
}

namespace detail {

// Lower bound of what the unplaced logical qubits m..n-1 add to a prefix of length m: every
// pair involving one of them weighs at least its weight times the smallest distance. Entry m of
// the result bounds prefixes of length m.
std::vector<double> remaining_bounds(const WeightTable& w, const DistanceTable& d) {
    const std::uint32_t n = w.size();
    double nearest = std::numeric_limits<double>::infinity(), self = nearest;
    for (std::uint32_t p = 0; p < n; ++p)
        for (std::uint32_t q = 0; q < n; ++q) {
            if (p == q)
                self = std::min(self, static_cast<double>(d(p, q)));
            else
                nearest = std::min(nearest, static_cast<double>(d(p, q)));
        }
    std::vector<double> bound(static_cast<std::size_t>(n) + 1, 0.0);
    // A pair (i, j) is complete once max(i, j) is placed: it counts in bounds up to max(i, j).
    std::vector<double> completed_at(static_cast<std::size_t>(n) + 1, 0.0);
    for (std::uint32_t i = 0; i < n; ++i)
        for (std::uint32_t k = w.row_begin(i); k < w.row_end(i); ++k) {
            const std::uint32_t j = w.column(k);
            completed_at[std::max(i, j)] += w.weight(k) * (i == j ? self : nearest);
        }
    for (std::uint32_t m = n; m-- > 0;) bound[m] = bound[m + 1] + completed_at[m];
    return bound;
}

// Depth-first branch and bound over `prefix` (filled up to `depth`); `remaining` holds the
// unplaced physical qubits in visiting order from index `depth` on. Records in `found` every
// complete placement strictly better than `best`. Besides the prefix test, a subtree is cut
// when the prefix plus `bounds[depth]` exceeds the best by a relative margin far above rounding
// error, so no placement that could still be strictly better is ever cut: the placements found
// are exactly those of the search without the bound.
struct Explorer {
    const WeightTable& w;
    const DistanceTable& d;
    const std::vector<double>& bounds;
    const StopCheck& stop;
    std::uint64_t nodes = 0;
};

// Declared inline so that the compiler may expand its recursion into itself.
inline bool explore(Placement& prefix, Placement& remaining, std::size_t depth, Explorer& x,
                    double& best, Placement& found) {
    if ((++x.nodes & 0xFFFF) == 0 && x.stop && x.stop()) throw SearchStopped();
    const WeightTable& w = x.w;
    const DistanceTable& d = x.d;
    prefix.resize(depth);
    double score = 0.0;
    if (!is_new_best_score(prefix, w, d, best, score, false)) return false;
    if (depth == remaining.size()) {
        best = score;
        found = prefix;
        return true;
    }
    if (score + x.bounds[depth] > best * (1.0 + 1e-9)) return false;
    bool improved = false;
    // remaining[depth..] keeps its order; the child takes the k-th entry out and the others
    // stay in order behind it.
    for (std::size_t k = depth; k < remaining.size(); ++k) {
        std::rotate(remaining.begin() + static_cast<std::ptrdiff_t>(depth),
                    remaining.begin() + static_cast<std::ptrdiff_t>(k),
                    remaining.begin() + static_cast<std::ptrdiff_t>(k) + 1);
        prefix.resize(depth);
        prefix.push_back(remaining[depth]);
        improved |= explore(prefix, remaining, depth + 1, x, best, found);
        std::rotate(remaining.begin() + static_cast<std::ptrdiff_t>(depth),
                    remaining.begin() + static_cast<std::ptrdiff_t>(depth) + 1,
                    remaining.begin() + static_cast<std::ptrdiff_t>(k) + 1);
    }
    return improved;
}

}  // namespace detail

bool explore_partially(Placement& prefix, Placement& remaining, const WeightTable& w,
                       const DistanceTable& d, double& best, const StopCheck& stop) {
    Placement buffer = prefix;
    buffer.insert(buffer.end(), remaining.begin(), remaining.end());
    Placement work = prefix, found;
    const std::vector<double> bounds = detail::remaining_bounds(w, d);
    detail::Explorer explorer{w, d, bounds, stop};
    if (!detail::explore(work, buffer, prefix.size(), explorer, best, found)) return false;
    prefix = std::move(found);
    assert(detail::exact_score(prefix, w, d) == best);  // the score of the placement returned
    return true;
}

Placement partial_search(Placement& perm, const WeightTable& w, const DistanceTable& d,
                         const StopCheck& stop, std::optional<std::uint32_t> seed) {
    double best = detail::exact_score(perm, w, d);
    Placement order = perm;
    {
        InitialMappingRandom& source = InitialMappingRandom::get();
        std::lock_guard<std::mutex> guard(source.lock);
        if (seed) source.engine.seed(*seed);
        std::shuffle(order.begin(), order.end(), source.engine);
    }
    Placement prefix;
    if (explore_partially(prefix, order, w, d, best, stop)) return prefix;
    return perm;
}

Placement find_initial_mapping(const std::vector<Interaction>& interactions,
                               const RoutingTarget& target, bool parallel, int threads,
                               const StopCheck& stop, std::optional<std::uint32_t> seed) {
    const std::uint32_t n = target.nb_physical();
    Placement identity(n);
    for (std::uint32_t q = 0; q < n; ++q) identity[q] = q;

    for (std::size_t k = 0; k < interactions.size(); ++k)
        for (std::uint32_t q : interactions[k])
            if (q >= n)
                throw std::invalid_argument("Operation " + std::to_string(k) + " acts on qubit " +
                                            std::to_string(q) + ", which is not in the graph (" +
                                            std::to_string(n) + " qubits)");

    // Only the first n * log2(n) two-qubit interactions count, the k-th with weight 1/k.
    const std::uint32_t limit =
        n < 2 ? 0 : static_cast<std::uint32_t>(std::floor(n * std::log2(static_cast<double>(n))));
    std::map<std::pair<std::uint32_t, std::uint32_t>, double> weights;
    std::uint32_t counted = 0;
    for (const Interaction& interaction : interactions) {
        if (interaction.size() < 2) continue;
        if (interaction.size() > 2)
            throw std::invalid_argument(
                "Gate with an arity strict greater than 2 are not allowed here");
        if (counted == limit) break;
        ++counted;
        const double weight = 1.0 / counted;
        weights[{interaction[0], interaction[1]}] += weight;
        weights[{interaction[1], interaction[0]}] += weight;
    }

    const std::vector<std::uint32_t>& hops = target.distances();
    std::vector<std::uint32_t> distances(hops.size());
    for (std::size_t k = 0; k < hops.size(); ++k) {
        if (hops[k] == RoutingTarget::kUnreachable)
            throw std::invalid_argument("The graph is not connected");
        distances[k] = (hops[k] + 1) * (hops[k] + 1);
    }

    const WeightTable w(n, weights);
    const DistanceTable d(n, std::move(distances));
    if (parallel) {
        if (seed) seed_initial_mapping(*seed);  // the exhaustive search draws nothing
        return force_brut_search(identity, n, w, d, threads, stop);
    }
    return partial_search(identity, w, d, stop, seed);
}

}  // namespace couplize
