#include "lookahead/swap_scan.hpp"

#include <algorithm>
#include <stdexcept>
#include <utility>

namespace couplize {

namespace {

// What the scan reads, as plain pointers taken once per pass: the scan's loop then reloads
// nothing it could keep in registers.
struct ScanTables {
    const Logical* front_qubits;
    const QubitRole* roles;      // by logical qubit
    const Physical* neighbours;  // padded rows
    const std::uint32_t* back;   // back index of the rows
    const Move* moves;           // by logical qubit, row_width each
    std::size_t row_width;
    const double* decay;  // by logical qubit
    const Order* order;
    const SabreTarget* target;
    const LookaheadSet* ahead;

    ScanTables(const LayerView& view, const MoveTable& moves_table,
               const std::vector<double>& decay_factors)
        : front_qubits(view.front.qubits().data()),
          roles(&view.front.role(Logical{0})),
          neighbours(view.target.neighbour_entries()),
          back(view.target.back_entries()),
          moves(moves_table.of(Logical{0})),
          row_width(view.target.row_width()),
          decay(decay_factors.data()),
          order(&view.order),
          target(&view.target),
          ahead(&view.ahead) {}

    const Move* moves_of(Logical q) const { return moves + std::size_t{index(q)} * row_width; }
};

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
[[gnu::always_inline]] inline FrontQubit front_qubit(const ScanTables& t, std::size_t j) {
    const Logical x = t.front_qubits[j];
    const Physical px = t.order->get_physical_qubit(x);
    return FrontQubit{x,
                      static_cast<std::uint32_t>(j / 2),
                      t.target->degree(px),
                      t.target->row(px),
                      t.moves_of(x),
                      t.decay[index(x)],
                      &t.ahead->of(x)};
}

// (y, x) was already scored from an earlier front group: the exchange and its score are the
// same, and ties keep the earlier candidate. Qubits outside the front layer have front index
// kNoGroup.
[[gnu::always_inline]] inline bool skipped(const ScanTables& t, const FrontQubit& f, Logical y) {
    return t.roles[index(y)].front_index < f.front_index;
}

// Score of candidate (f.x, y), y at neighbour entry k, and its changes of both sums.
template <bool Extended, bool Tabled>
[[gnu::always_inline]] inline auto score(const ScanTables& t, const TermTable& front_terms,
                                         const TermTable& ahead_terms, const FrontQubit& f,
                                         Logical y, std::uint32_t k, const PassTerms& terms,
                                         std::int64_t& front_change, std::int64_t& ahead_change) {
    const Move& move_y = t.moves_of(y)[t.back[f.row + k]];
    front_change = f.moves[k].front + move_y.front;
    if constexpr (!Extended) {
        ahead_change = 0;
        return terms.front_sum + front_change;
    } else {
        const AheadOf& ax = *f.ahead;
        const std::int64_t shared = ax.count <= 2
                                        ? (ax.other[0] == y ? ax.nb_two_qubit_gates[0] : 0) +
                                              (ax.other[1] == y ? ax.nb_two_qubit_gates[1] : 0)
                                        : t.ahead->shared(f.x, y);
        ahead_change = f.moves[k].ahead + move_y.ahead + 2 * shared;
        const double factor = std::max(f.decay, t.decay[index(y)]);
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
    if (!view.extended)
        return random_ties_ ? scan<false, false, true>(view, moves, decay, terms)
                            : scan<false, false, false>(view, moves, decay, terms);
    // The terms come from tables when their ranges of changes are narrow, as they are unless
    // groups hold many gates.
    const bool tabled =
        front_terms_.fill(view.front.max_change(),
                          [&](std::int64_t c) { return terms.front(c); }) &&
        ahead_terms_.fill(view.ahead.max_change(), [&](std::int64_t c) { return terms.ahead(c); });
    if (random_ties_)
        return tabled ? scan<true, true, true>(view, moves, decay, terms)
                      : scan<true, false, true>(view, moves, decay, terms);
    return tabled ? scan<true, true, false>(view, moves, decay, terms)
                  : scan<true, false, false>(view, moves, decay, terms);
}

// The first candidate not skipped sets the best; a later one replaces it only with a strictly
// lower score. A skipped candidate is scored all the same (its changes are in range too), which
// saves branches. Without random ties the loop calls nothing, so its loads stay hoisted.
template <bool Extended, bool Tabled, bool RandomTies>
SwapChoice SwapScan::scan(const LayerView& view, const MoveTable& moves,
                          const std::vector<double>& decay, const PassTerms& terms) {
    const ScanTables t(view, moves, decay);
    auto score_of = [&](const FrontQubit& f, Logical y, std::uint32_t k, std::int64_t& front_change,
                        std::int64_t& ahead_change) {
        return score<Extended, Tabled>(t, front_terms_, ahead_terms_, f, y, k, terms, front_change,
                                       ahead_change);
    };
    using Score = decltype(score_of(std::declval<const FrontQubit&>(), Logical{0}, 0,
                                    std::declval<std::int64_t&>(), std::declval<std::int64_t&>()));
    const Physical* neighbours = t.neighbours;
    const Order& order = view.order;
    const std::size_t nb_front_qubits = view.front.qubits().size();
    SwapChoice best{};
    Score best_score{};
    std::int64_t front_change = 0, ahead_change = 0;
    bool found = false;
    for (std::size_t j = 0; j < nb_front_qubits && !found; ++j) {
        const FrontQubit f = front_qubit(t, j);
        for (std::uint32_t k = 0; k < f.degree && !found; ++k) {
            const Logical y = order.get_logical_qubit(neighbours[f.row + k]);
            if (skipped(t, f, y)) continue;
            best_score = score_of(f, y, k, front_change, ahead_change);
            best = SwapChoice{f.x, y, front_change, ahead_change};
            found = true;
        }
    }
    if (!found) throw std::invalid_argument("SABRE routing found no SWAP to try");
    std::uint64_t ties = 0;  // candidates seen with the best score (random ties only)
    for (std::size_t j = 0; j < nb_front_qubits; ++j) {
        const FrontQubit f = front_qubit(t, j);
        for (std::uint32_t k = 0; k < f.degree; ++k) {
            const Logical y = order.get_logical_qubit(neighbours[f.row + k]);
            const bool skip = skipped(t, f, y);
            const Score s = score_of(f, y, k, front_change, ahead_change);
            if (!skip && s < best_score) {
                best_score = s;
                best = SwapChoice{f.x, y, front_change, ahead_change};
                ties = 1;
            } else if (RandomTies && !skip && s == best_score) {
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
