#pragma once
#include <cstdint>
#include <random>
#include <vector>

#include "common/qubits.hpp"
#include "lookahead/move_table.hpp"

namespace couplize {

// A chosen SWAP of two logical qubits and the changes it makes to both sums.
struct SwapChoice {
    Logical x, y;
    std::int64_t front_change, ahead_change;
};

// The two terms of the score in a pass, as functions of the changes of their sums.
struct PassTerms {
    std::int64_t front_sum, ahead_sum;
    double nb_front, nb_ahead, weight;

    double front(std::int64_t change) const {
        return static_cast<double>(front_sum + change) / nb_front;
    }
    double ahead(std::int64_t change) const {
        return weight * static_cast<double>(ahead_sum + change) / nb_ahead;
    }
};

// Values of a term of the score for the changes -max_change..max_change of its sum, computed
// once per pass by the very expression a direct evaluation uses, so ties come out the same.
class TermTable {
public:
    static constexpr std::int64_t kMaxChange = 32;

    // Returns false, filling nothing, when the range is wider than the table.
    template <typename F>
    bool fill(std::int64_t max_change, F&& compute) {
        if (max_change > kMaxChange) return false;
        for (std::int64_t c = -max_change; c <= max_change; ++c)
            values_[c + kMaxChange] = compute(c);
        return true;
    }

    double operator[](std::int64_t change) const { return values_[change + kMaxChange]; }

private:
    double values_[2 * kMaxChange + 1];
};

// The SWAP scan of a SABRE pass: scores every SWAP touching a qubit of a front group and returns
// the lowest. Candidates come group by group in front-layer order, first qubit then second,
// neighbours in the topology's order; (y, x) already scored from an earlier front group is
// skipped. The first candidate with the lowest score wins, or with random ties a uniform draw
// among the tied ones (the k-th tied candidate replaces the best when a draw modulo k is 0).
//
// Score: H_F + its change for the basic heuristic; otherwise max(decay of both qubits) x
// (front term + look-ahead term), the terms of PassTerms. A candidate's changes are the move of
// x to y's place plus the move of y to x's place (no front group holds both: they are
// neighbours, and no front group is executable), plus twice the gates of the look-ahead groups
// holding both, whose length the two moves count as changed when it is not.
class SwapScan {
public:
    // How ties are broken from now on; the generator restarts from `seed`.
    void start(bool random_ties, std::uint64_t seed) {
        random_ties_ = random_ties;
        rng_.seed(seed);
    }

    // The best SWAP of the pass. `decay` holds the decay factor of each logical qubit (read with
    // the extended heuristic only). Throws std::invalid_argument when there is no candidate.
    SwapChoice best(const LayerView& view, const MoveTable& moves, const std::vector<double>& decay,
                    double weight);

private:
    template <bool Extended, bool Tabled, bool RandomTies>
    SwapChoice scan(const LayerView& view, const MoveTable& moves, const std::vector<double>& decay,
                    const PassTerms& terms);

    bool random_ties_ = false;
    std::mt19937_64 rng_;
    TermTable front_terms_, ahead_terms_;
};

}  // namespace couplize
