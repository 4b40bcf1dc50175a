#include "lookahead/move_table.hpp"

namespace couplize {

void MoveTable::reset(std::uint32_t nb_logical, std::uint32_t row_width) {
    row_width_ = row_width;
    moves_.assign(static_cast<std::size_t>(nb_logical) * row_width, Move{});
    active_.assign(nb_logical, 0);
    active_list_.clear();
    inputs_.resize(nb_logical);
    for (std::uint32_t q = 0; q < nb_logical; ++q) inputs_[q] = MoveInputs::none(Logical{q});
    visited_.assign(nb_logical, 0);
    layer_ = 0;
}

MoveTable::MoveInputs MoveTable::inputs_of(Logical q, const LayerView& view) {
    const QubitRole& role = view.front.role(q);
    const AheadOf& of = view.ahead.of(q);
    return MoveInputs{role.partner,
                      role.nb_two_qubit_gates,
                      {of.other[0], of.other[1]},
                      {of.nb_two_qubit_gates[0], of.nb_two_qubit_gates[1]},
                      of.count};
}

void MoveTable::compute(Logical q, const LayerView& view, Move* moves) {
    const SabreTarget& target = view.target;
    const std::uint32_t width = target.row_width();
    const Physical from = view.order.get_physical_qubit(q);
    const QubitRole& role = view.front.role(q);
    const std::int32_t* partner = target.lengths_from(view.order.get_physical_qubit(role.partner));
    const std::int64_t nb_gates = role.nb_two_qubit_gates;
    const Physical* around = target.neighbour_entries() + target.row(from);
    for (std::uint32_t k = 0; k < width; ++k)
        moves[k] = Move{nb_gates * (static_cast<std::int64_t>(partner[index(around[k])]) -
                                    partner[index(from)]),
                        0};
    if (!view.extended) return;
    view.ahead.for_each_partner(q, [&](Logical other, std::int64_t nb) {
        const std::int32_t* row = target.lengths_from(view.order.get_physical_qubit(other));
        for (std::uint32_t k = 0; k < width; ++k)
            moves[k].ahead +=
                nb * (static_cast<std::int64_t>(row[index(around[k])]) - row[index(from)]);
    });
}

void MoveTable::update(Logical q, const LayerView& view) {
    compute(q, view, moves_.data() + std::size_t{index(q)} * row_width_);
}

std::vector<Move> MoveTable::recompute(Logical q, const LayerView& view) const {
    std::vector<Move> moves(row_width_);
    compute(q, view, moves.data());
    return moves;
}

void MoveTable::update_around(Logical q, const LayerView& view) {
    if (!active_[index(q)]) return;  // no part, no partner
    update(q, view);
    const QubitRole& role = view.front.role(q);
    if (role.front_index != QubitRole::kNoGroup) update(role.partner, view);
    if (!view.extended) return;
    view.ahead.for_each_partner(q, [&](Logical other, std::int64_t) { update(other, view); });
}

void MoveTable::refresh_layer(const LayerView& view) {
    previous_active_.swap(active_list_);
    active_list_.clear();
    for (Logical q : previous_active_) active_[index(q)] = 0;
    ++layer_;
    auto refresh = [&](Logical q) {
        const std::uint32_t i = index(q);
        if (visited_[i] == layer_) return;
        visited_[i] = layer_;
        const MoveInputs inputs = inputs_of(q, view);
        if (inputs.count > 2 || !(inputs == inputs_[i])) {
            inputs_[i] = inputs;
            update(q, view);
        }
        if (inputs.nb_two_qubit_gates == 0 && inputs.count == 0) return;  // no part
        active_[i] = 1;
        active_list_.push_back(q);
    };
    for (Logical q : previous_active_) refresh(q);
    for (Logical q : view.front.qubits()) refresh(q);
    for (Logical q : view.ahead.firsts()) refresh(q);
    for (Logical q : view.ahead.seconds()) refresh(q);
}

}  // namespace couplize
