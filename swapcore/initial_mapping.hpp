#pragma once
// Initial placement search: the placement (entry i = physical qubit of logical qubit i) that
// minimises a weighted distance score, found exhaustively over worker threads
// (`force_brut_search`) or by a randomised branch and bound (`partial_search`).
//
// Score of a placement, or of its prefix of length m: the sum over i and j below m of
// w(i, j) * D(perm[i], perm[j]), i in the outer and j in the inner loop, in double precision.
// Lower is better. Only the first n * log2(n) two-qubit interactions are weighted (1, 1/2, 1/3...
// in circuit order), and D(p, q) = (vertices on a shortest path)^2, so D(p, p) = 1.
//
// Every search keeps the start placement unless a strictly better one exists, and the
// exhaustive search returns the lexicographically first optimum whatever the thread count.
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <stdexcept>
#include <utility>
#include <vector>

#include "swapcore/gate.hpp"
#include "swapcore/routing_target.hpp"

namespace couplize {

using Placement = std::vector<std::uint32_t>;

// Interaction weights between logical qubits; absent pairs weigh 0. Rows are stored compactly
// (columns ascending) so that a score visits only interacting pairs, in the order of the
// i-outer, j-inner sum.
class WeightTable {
public:
    WeightTable() = default;
    // Throws std::invalid_argument for a pair outside 0..n-1.
    WeightTable(std::uint32_t n,
                const std::map<std::pair<std::uint32_t, std::uint32_t>, double>& w);

    std::uint32_t size() const {
        return row_start_.empty() ? 0 : static_cast<std::uint32_t>(row_start_.size() - 1);
    }
    std::uint32_t row_begin(std::uint32_t i) const { return row_start_[i]; }
    std::uint32_t row_end(std::uint32_t i) const { return row_start_[i + 1]; }
    std::uint32_t column(std::uint32_t k) const { return column_[k]; }
    double weight(std::uint32_t k) const { return weight_[k]; }

private:
    std::vector<std::uint32_t> row_start_;
    std::vector<std::uint32_t> column_;
    std::vector<double> weight_;
};

// D(p, q) for every ordered pair of physical qubits, row-major.
class DistanceTable {
public:
    DistanceTable() = default;
    DistanceTable(std::uint32_t n, std::vector<std::uint32_t> values)
        : n_(n), values_(std::move(values)) {
        if (values_.size() != static_cast<std::size_t>(n) * n)
            throw std::invalid_argument("A distance table needs n * n entries");
    }
    std::uint32_t size() const { return n_; }
    std::uint32_t operator()(std::uint32_t p, std::uint32_t q) const {
        return values_[static_cast<std::size_t>(p) * n_ + q];
    }

private:
    std::uint32_t n_ = 0;
    std::vector<std::uint32_t> values_;
};

// Asked now and then (from the calling thread only) whether a long search should give up, e.g.
// because the user interrupted it; answering true makes the search throw SearchStopped.
using StopCheck = std::function<bool()>;

struct SearchStopped : std::runtime_error {
    SearchStopped() : std::runtime_error("The placement search was stopped") {}
};

// n! in 32 bits: exact up to 12, larger values are refused (std::invalid_argument).
std::uint32_t factorial(std::uint32_t n);

// Scores the placement (logical qubits 0 .. perm.size() - 1). Returns whether the score is
// strictly below `best`. Unless `exact`, gives up as soon as the running sum exceeds `best`; then
// `score` holds that partial sum (still above `best`), else the whole score. The inner loop of
// every search, so it stays inline.
inline bool is_new_best_score(const Placement& perm, const WeightTable& w, const DistanceTable& d,
                              const double& best, double& score, bool exact) {
    const std::uint32_t m = static_cast<std::uint32_t>(perm.size());
    double sum = 0.0;
    for (std::uint32_t i = 0; i < m; ++i) {
        const std::uint32_t pi = perm[i];
        for (std::uint32_t k = w.row_begin(i); k < w.row_end(i); ++k) {
            const std::uint32_t j = w.column(k);
            if (j >= m) break;  // columns ascend: the rest of the row is outside the prefix
            sum += w.weight(k) * d(pi, perm[j]);
            if (!exact && sum > best) {
                score = sum;
                return false;
            }
        }
    }
    score = sum;
    return sum < best;
}

namespace detail {

// Lexicographic rank of `perm` among the permutations of its values.
std::uint64_t rank_of(const Placement& perm);

// The permutation of `sorted_values` of lexicographic rank `rank` (factorial number system).
Placement unrank(Placement sorted_values, std::uint64_t rank);

}  // namespace detail

// Exhaustive search over the n! permutations of `perm`'s values, in lexicographic successor
// order starting after `perm` (which comes last). Iterations are split into contiguous blocks,
// one per thread (`threads` = 0: the OpenMP runtime's default); each thread unranks the first
// permutation of its block and steps successors locally, so no generator is shared. A strictly
// better score replaces the shared best under a lock; equal scores go to the earlier iteration,
// so the result is the first optimum in successor order (the start itself if it is optimal) for
// any thread count. Runs without touching the interpreter; `perm` is left as given.
Placement force_brut_search(Placement& perm, const std::uint32_t& n, const WeightTable& w,
                            const DistanceTable& d, int threads = 0, const StopCheck& stop = {});

// Process-wide generator of the randomised search: a Mersenne Twister seeded once from the
// system's random device, or by `seed_initial_mapping`. Draws are serialised by a lock, so
// concurrent searches stay well defined.
struct InitialMappingRandom {
    std::mutex lock;
    std::mt19937 engine;

    static InitialMappingRandom& get();
};

// Reseeds the process-wide generator, making later randomised searches reproducible.
void seed_initial_mapping(std::uint32_t seed);

// Branch and bound from `prefix`, placing the physical qubits of `remaining` in their order.
// Returns whether a complete placement strictly below `best` exists; if so `prefix` becomes the
// best one found and `best` its score. Since weights and distances are non-negative, a prefix
// never scores more than its completions, so pruning on the prefix score loses no optimum.
bool explore_partially(Placement& prefix, Placement& remaining, const WeightTable& w,
                       const DistanceTable& d, double& best, const StopCheck& stop = {});

// Randomised branch and bound: the physical qubits are tried in a shuffled order, so among
// several optima the one met first is random. Returns `perm` itself unless some placement
// scores strictly better. `seed`, when given, reseeds the process-wide generator under the same
// lock as the shuffle, so that a search running on another thread cannot draw in between and
// equal seeded calls give equal results.
Placement partial_search(Placement& perm, const WeightTable& w, const DistanceTable& d,
                         const StopCheck& stop = {},
                         std::optional<std::uint32_t> seed = std::nullopt);

// The placement search over a circuit's operations (plain logical indices per operation, in
// order) on the topology `target`: entry i of the result is the physical qubit of logical qubit
// i. Throws std::invalid_argument for a qubit outside the topology, a weighted operation on more
// than two qubits, a disconnected topology, or an exhaustive search over more than 12 qubits.
// `seed`, when given, reseeds the process-wide generator first (see partial_search).
Placement find_initial_mapping(const std::vector<Interaction>& interactions,
                               const RoutingTarget& target, bool parallel, int threads = 0,
                               const StopCheck& stop = {},
                               std::optional<std::uint32_t> seed = std::nullopt);

}  // namespace couplize
