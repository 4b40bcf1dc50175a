#include "lookahead/swap_scan.hpp"

#include <algorithm>
#include <stdexcept>
#include <utility>

namespace couplize {

namespace {

// What the scan reads of front qubit number j (in FrontLayer::qubits order).
struct FrontQubit {
    Logical x;
    std::uint32_t front_index, degree;
    std::size_t row;  // of its place in the neighbour and back-index entries
    const Move* moves;
    double decay;
    const AheadOf* ahead;
};

// Inlined: called once per front qubit and SWAP, its call cost shows in the scan.
[[gnu::always_inline]] inline FrontQubit front_qubit(const LayerView& view, const MoveTable& moves,
                                                     const std::vector<double>& decay,
                                                     std::size_t j) {
    const Logical x = view.front.qubits()[j];
    const Physical px = view.order.get_physical_qubit(x);
    return FrontQubit{x,
                      static_cast<std::uint32_t>(j / 2),
                      view.target.degree(px),
                      view.target.row(px),
                      moves.of(x),
                      decay[index(x)],
                      &view.ahead.of(x)};
}

// (y, x) was already scored from an earlier front group: the exchange and its score are the
// same, and ties keep the earlier candidate. Qubits outside the front layer have front index
// kNoGroup.
inline bool skipped(const LayerView& view, const FrontQubit& f, Logical y) {
    return view.front.role(y).front_index < f.front_index;
}

// Score of candidate (f.x, y), y at neighbour entry k, and its changes of both sums.
template <bool Extended, bool Tabled>
[[gnu::always_inline]] inline auto score(const LayerView& view, const MoveTable& moves,
                                         const std::vector<double>& decay,
                                         const TermTable& front_terms, const TermTable& ahead_terms,
                                         const FrontQubit& f, Logical y, std::uint32_t k,
                                         const PassTerms& terms, std::int64_t& front_change,
                                         std::int64_t& ahead_change) {
    const Move& move_y = moves.of(y)[view.target.back_entries()[f.row + k]];
    front_change = f.moves[k].front + move_y.front;
    if constexpr (!Extended) {
        ahead_change = 0;
        return terms.front_sum + front_change;
    } else {
        const AheadOf& ax = *f.ahead;
        const std::int64_t shared = ax.count <= 2
                                        ? (ax.other[0] == y ? ax.nb_two_qubit_gates[0] : 0) +
                                              (ax.other[1] == y ? ax.nb_two_qubit_gates[1] : 0)
                                        : view.ahead.shared(f.x, y);
        ahead_change = f.moves[k].ahead + move_y.ahead + 2 * shared;
        const double factor = std::max(f.decay, decay[index(y)]);
        if constexpr (Tabled)
            return factor * (front_terms[front_change] + ahead_terms[ahead_change]);
        else
            return factor * (terms.front(front_change) + terms.ahead(ahead_change));
    }
}

}  // namespace

SwapChoice SwapScan::best(const LayerView& view, const MoveTable& moves,
                          const std::vector<double>& decay, double weight) {
    const PassTerms terms{view.front.sum(), view.ahead.sum(),
                          static_cast<double>(view.front.nb_gates()),
                          static_cast<double>(view.ahead.nb_gates()), weight};
    if (!view.extended) return scan<false, false>(view, moves, decay, terms);
    // The terms come from tables when their ranges of changes are narrow, as they are unless
    // groups hold many gates.
    const bool tabled =
        front_terms_.fill(view.front.max_change(),
                          [&](std::int64_t c) { return terms.front(c); }) &&
        ahead_terms_.fill(view.ahead.max_change(), [&](std::int64_t c) { return terms.ahead(c); });
    return tabled ? scan<true, true>(view, moves, decay, terms)
                  : scan<true, false>(view, moves, decay, terms);
}

// The first candidate not skipped sets the best; a later one replaces it only with a strictly
// lower score. A skipped candidate is scored all the same (its changes are in range too), which
// saves branches.
template <bool Extended, bool Tabled>
SwapChoice SwapScan::scan(const LayerView& view, const MoveTable& moves,
                          const std::vector<double>& decay, const PassTerms& terms) {
    auto score_of = [&](const FrontQubit& f, Logical y, std::uint32_t k, std::int64_t& front_change,
                        std::int64_t& ahead_change) {
        return score<Extended, Tabled>(view, moves, decay, front_terms_, ahead_terms_, f, y, k,
                                       terms, front_change, ahead_change);
    };
    using Score = decltype(score_of(std::declval<const FrontQubit&>(), Logical{0}, 0,
                                    std::declval<std::int64_t&>(), std::declval<std::int64_t&>()));
    const Physical* neighbours = view.target.neighbour_entries();
    const std::vector<Logical>& qubits = view.front.qubits();
    SwapChoice best{};
    Score best_score{};
    std::int64_t front_change = 0, ahead_change = 0;
    bool found = false;
    for (std::size_t j = 0; j < qubits.size() && !found; ++j) {
        const FrontQubit f = front_qubit(view, moves, decay, j);
        for (std::uint32_t k = 0; k < f.degree && !found; ++k) {
            const Logical y = view.order.get_logical_qubit(neighbours[f.row + k]);
            if (skipped(view, f, y)) continue;
            best_score = score_of(f, y, k, front_change, ahead_change);
            best = SwapChoice{f.x, y, front_change, ahead_change};
            found = true;
        }
    }
    if (!found) throw std::invalid_argument("SABRE routing found no SWAP to try");
    const bool random_ties = random_ties_;
    std::uint64_t ties = 0;  // candidates seen with the best score (random ties only)
    for (std::size_t j = 0; j < qubits.size(); ++j) {
        const FrontQubit f = front_qubit(view, moves, decay, j);
        for (std::uint32_t k = 0; k < f.degree; ++k) {
            const Logical y = view.order.get_logical_qubit(neighbours[f.row + k]);
            const bool skip = skipped(view, f, y);
            const Score s = score_of(f, y, k, front_change, ahead_change);
            if (!skip && s < best_score) {
                best_score = s;
                best = SwapChoice{f.x, y, front_change, ahead_change};
                ties = 1;
            } else if (random_ties && !skip && s == best_score) {
                // Each tied candidate is kept with the same probability: the k-th replaces the
                // best when a draw modulo k is 0. The first found is scored again here and
                // counts as the first tie, without a draw.
                if (ties++ > 0 && rng_() % ties == 0)
                    best = SwapChoice{f.x, y, front_change, ahead_change};
            }
        }
    }
    return best;
}

}  // namespace couplize
