#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/qubits.hpp"
#include "lookahead/front_layer.hpp"
#include "lookahead/lookahead_set.hpp"
#include "lookahead/sabre_target.hpp"
#include "swapcore/order.hpp"

namespace couplize {

// Changes of the front and look-ahead sums when one logical qubit moves to a neighbouring place
// while all others stay.
struct Move {
    std::int64_t front = 0;
    std::int64_t ahead = 0;
};

// What a pass's moves are computed from: the placement, the topology, the front layer and the
// look-ahead set.
struct LayerView {
    const Order& order;
    const SabreTarget& target;
    const FrontLayer& front;
    const LookaheadSet& ahead;
    bool extended;  // look-ahead changes too, not only front ones
};

// The moves of every logical qubit with a part in the layer (front or look-ahead group), one per
// neighbour entry of its place, in the layout of SabreTarget's rows: the change of a SWAP is then
// the move of one qubit plus the move of the other read through the back index, two table reads
// and no distance lookup. A move is a plain difference of two lengths: front groups join qubits
// of one component and a neighbour is in it too, and a look-ahead length is 0 before and after
// when the other qubit is out of reach. Qubits without a part have moves 0.
class MoveTable {
public:
    // `nb_logical` qubits, all moves 0, no part.
    void reset(std::uint32_t nb_logical, std::uint32_t row_width);

    // At a new layer: recomputes the moves whose inputs changed since the last layer. No SWAP
    // comes between two layers, and during a layer every SWAP refreshes the qubits whose moves
    // read a swapped qubit's place, so moves computed from the same inputs are still exact.
    void refresh_layer(const LayerView& view);

    // After q moved: recomputes the moves of q and of the qubits whose moves read its place (its
    // front partner and its look-ahead partners).
    void update_around(Logical q, const LayerView& view);

    // The moves of q, one per neighbour entry of its place.
    const Move* of(Logical q) const { return moves_.data() + std::size_t{index(q)} * row_width_; }

    // The moves of q computed afresh (what of(q) must equal while q has a part).
    std::vector<Move> recompute(Logical q, const LayerView& view) const;

private:
    // What the moves of a logical qubit read apart from places: its front partner and group
    // size, its look-ahead partners and group sizes (beyond two, the compressed lists, which are
    // always re-read).
    struct MoveInputs {
        Logical partner;
        std::int32_t nb_two_qubit_gates;
        Logical other[2];
        std::int32_t ahead_gates[2];
        std::uint32_t count;

        static MoveInputs none(Logical q) { return MoveInputs{q, 0, {q, q}, {0, 0}, 0}; }
        bool operator==(const MoveInputs&) const = default;
    };
    static MoveInputs inputs_of(Logical q, const LayerView& view);

    void update(Logical q, const LayerView& view);
    static void compute(Logical q, const LayerView& view, Move* moves);

    std::uint32_t row_width_ = 0;
    std::vector<Move> moves_;  // q's at q * row_width_
    std::vector<char> active_;
    std::vector<Logical> active_list_, previous_active_;
    std::vector<MoveInputs> inputs_;      // by logical qubit
    std::vector<std::uint64_t> visited_;  // by logical qubit: last layer that refreshed it
    std::uint64_t layer_ = 0;
};

}  // namespace couplize
