#include "bestfirst/astar.hpp"

#include <algorithm>
#include <cassert>
#include <stdexcept>
#include <string>
#include <unordered_set>
#include <utility>

namespace couplize {

namespace {

// Key of logical qubit q on physical qubit p (splitmix64 of the pair); a state's hash is the XOR
// of its searched qubits' keys, so one SWAP updates it in O(1).
std::uint64_t placement_key(Logical q, Physical p) {
    std::uint64_t z =
        (static_cast<std::uint64_t>(index(q)) << 32 | index(p)) + 0x9E3779B97F4A7C15ull;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

}  // namespace

AstarCouplizer::AstarCouplizer(std::vector<Interaction> gates, std::uint32_t nb_logical,
                               std::uint32_t size_slice, AstarEstimate estimate)
    : gate_lists_(std::move(gates)), nb_logical_(nb_logical), estimate_kind_(estimate) {
    if (size_slice == 0) throw std::invalid_argument("size_slice must be at least 1");
    make_slices(size_slice);
}

void AstarCouplizer::set_target(std::shared_ptr<const RoutingTarget> target) {
    if (!target) throw std::invalid_argument("The graph is not defined");
    if (target->nb_physical() < nb_logical_)
        throw std::invalid_argument("The circuit uses " + std::to_string(nb_logical_) +
                                    " qubits but the topology has only " +
                                    std::to_string(target->nb_physical()));
    target_ = std::move(target);
}

void AstarCouplizer::set_lookahead(std::uint32_t slices, double discount) {
    if (!(discount > 0.0 && discount <= 1.0))
        throw std::invalid_argument("The look-ahead discount must be in (0, 1], got " +
                                    std::to_string(discount));
    lookahead_ = slices;
    discount_ = discount;
}

void AstarCouplizer::make_slices(std::uint32_t size_slice) {
    std::vector<std::uint32_t> next_slice(nb_logical_, 0);
    for (std::uint32_t i = 0; i < gate_lists_.size(); ++i) {
        const Interaction& qubits = gate_lists_[i];
        if (qubits.size() > 2)
            throw std::invalid_argument("Cannot treat gates with more than 2 qubits");
        if (qubits.empty())
            throw std::invalid_argument("Operation " + std::to_string(i) + " has no qubits");
        for (std::uint32_t q : qubits)
            if (q >= nb_logical_)
                throw std::invalid_argument("Operation " + std::to_string(i) + " uses qubit " +
                                            std::to_string(q) + " but the circuit has " +
                                            std::to_string(nb_logical_) + " qubits");
        if (qubits.size() == 1) {
            const std::uint32_t q = qubits[0];
            if (next_slice[q] == 0)
                begin_gates_.push_back(i);
            else
                slices_[next_slice[q] - 1].one_qubit_gates.push_back(i);
            continue;
        }
        const std::uint32_t a = qubits[0], b = qubits[1];
        if (a == b)
            throw std::invalid_argument("Operation " + std::to_string(i) + " acts twice on qubit " +
                                        std::to_string(a));
        std::uint32_t f = std::max(next_slice[a], next_slice[b]);
        while (f < slices_.size() && slices_[f].gates.size() >= size_slice) ++f;
        if (f == slices_.size()) slices_.emplace_back();
        slices_[f].gates.push_back(i);
        next_slice[a] = next_slice[b] = f + 1;
    }
}

std::vector<AstarCouplizer::Step> AstarCouplizer::start_couplization() {
    if (!target_) throw std::invalid_argument("The graph is not defined");
    std::vector<Step> steps;
    for (std::uint32_t g : begin_gates_) steps.push_back(Step::gate_step(g));
    Order layout(target_->nb_physical());
    max_expanded_ = 0;
    split_searches_ = 0;
    summed_searches_ = 0;
    slot_at_.assign(target_->nb_physical(), kNoSlot);
    for (std::uint32_t s = 0; s < slices_.size() && !slices_[s].gates.empty(); ++s) {
        check_reachable(layout, s);
        route_gates(layout, slices_[s].gates, s, steps);
        for (std::uint32_t g : slices_[s].one_qubit_gates) steps.push_back(Step::gate_step(g));
    }
    return steps;
}

// A logical qubit never leaves the connected component it starts in, so a gate whose two qubits
// sit in different components (or on a qubit without neighbours) has no solution.
void AstarCouplizer::check_reachable(const Order& layout, std::uint32_t slice) const {
    for (std::uint32_t g : slices_[slice].gates) {
        const Interaction& q = gate_lists_[g];
        const Physical a = layout.get_physical_qubit(Logical{q[0]});
        const Physical b = layout.get_physical_qubit(Logical{q[1]});
        if (target_->distance(a, b) != RoutingTarget::kUnreachable) continue;
        throw std::invalid_argument("Cannot route the gate on qubits " + std::to_string(q[0]) +
                                    " and " + std::to_string(q[1]) + " (operation " +
                                    std::to_string(g) +
                                    "): the topology does not connect physical qubits " +
                                    std::to_string(index(a)) + " and " + std::to_string(index(b)));
    }
}

// --- estimate and goal ---------------------------------------------------------------------------

double AstarCouplizer::estimate(const Physical* places) const {
    std::uint32_t largest = 0, sum = 0;
    for (SlotPair gate : goal_) {
        const std::uint32_t e = distance(places, gate) - 1;
        largest = std::max(largest, e);
        sum += e;
    }
    double result = summing_ ? sum : std::max(largest, (sum + 1) / 2);
    double weight = 1.0;
    for (std::uint32_t k = 0; k < lookahead_ && k < ahead_.size(); ++k) {
        weight *= discount_;
        std::uint32_t excess = 0;
        for (SlotPair gate : ahead_[k]) {
            const std::uint32_t d = distance(places, gate);
            if (d != RoutingTarget::kUnreachable) excess += d - 1;
        }
        result += weight * excess;
    }
    return result;
}

// Breaks ties between nodes of equal cost + estimate and cost: the placement that leaves the
// next slice's gates shorter first. It never changes the SWAP count found.
std::uint32_t AstarCouplizer::next_excess(const Physical* places) const {
    std::uint32_t sum = 0;
    if (!ahead_.empty())
        for (SlotPair gate : ahead_[0]) {
            const std::uint32_t d = distance(places, gate);
            if (d != RoutingTarget::kUnreachable) sum += d - 1;
        }
    return sum;
}

bool AstarCouplizer::fits(const Physical* places) const {
    for (SlotPair gate : goal_)
        if (distance(places, gate) != 1) return false;
    return true;
}

// Excess of each searched gate at `places`, and the three largest (for `child_estimate`).
void AstarCouplizer::measure_excess(const Physical* places) {
    excess_.resize(goal_.size());
    excess_sum_ = 0;
    top_[0] = top_[1] = top_[2] = {0, kNoSlot};
    for (std::uint32_t g = 0; g < goal_.size(); ++g) {
        const std::uint32_t e = distance(places, goal_[g]) - 1;
        excess_[g] = e;
        excess_sum_ += e;
        std::pair<std::uint32_t, std::uint32_t> entry{e, g};
        for (auto& top : top_)
            if (top.second == kNoSlot || entry.first > top.first) std::swap(entry, top);
    }
}

// The default estimate once slot c moves from pc to p (and slot w, if any, from p to pc), from
// the excesses `measure_excess` recorded for the parent. Equals `estimate` without a look-ahead.
std::uint32_t AstarCouplizer::child_estimate(std::size_t c, Physical p, std::uint32_t w,
                                             Physical pc) const {
    const Physical* parent = places_of(current_);
    const std::uint32_t gc = static_cast<std::uint32_t>(c / 2);
    const std::uint32_t gw = w < gate_slots_ ? w / 2 : kNoSlot;
    auto moved = [&](std::uint32_t slot) { return slot == c ? p : slot == w ? pc : parent[slot]; };
    std::uint32_t sum = excess_sum_, largest = 0;
    for (std::uint32_t g : {gc, gw}) {
        if (g == kNoSlot) continue;
        const std::uint32_t e = target_->distance(moved(goal_[g].a), moved(goal_[g].b)) - 1;
        sum = sum - excess_[g] + e;
        largest = std::max(largest, e);
    }
    for (const auto& top : top_)
        if (top.second != gc && top.second != gw && top.second != kNoSlot) {
            largest = std::max(largest, top.first);
            break;
        }
    const std::uint32_t result = std::max(largest, (sum + 1) / 2);
    assert([&] {
        std::vector<Physical> child(places_of(current_), places_of(current_) + searched_.size());
        child[c] = p;
        if (w != kNoSlot) child[w] = pc;
        return estimate(child.data()) == result;
    }());
    return result;
}

// --- the open list: a binary heap of node ids that tracks each node's position -----------------

// Whether node a is expanded before node b: smaller cost + estimate, then more SWAPs made, then
// a shorter next slice, then created first.
bool AstarCouplizer::before(std::uint32_t a, std::uint32_t b) const {
    const Node& x = nodes_[a];
    const Node& y = nodes_[b];
    const double fx = x.cost + x.estimate, fy = y.cost + y.estimate;
    if (fx != fy) return fx < fy;
    if (x.cost != y.cost) return x.cost > y.cost;
    if (x.next_excess != y.next_excess) return x.next_excess < y.next_excess;
    return a < b;
}

void AstarCouplizer::place(std::size_t index, std::uint32_t id) {
    heap_[index] = id;
    nodes_[id].heap_index = static_cast<std::uint32_t>(index);
}

void AstarCouplizer::sift_up(std::size_t index) {
    const std::uint32_t id = heap_[index];
    while (index > 0) {
        const std::size_t up = (index - 1) / 2;
        if (!before(id, heap_[up])) break;
        place(index, heap_[up]);
        index = up;
    }
    place(index, id);
}

void AstarCouplizer::push(std::uint32_t id) {
    heap_.push_back(id);
    sift_up(heap_.size() - 1);
}

std::uint32_t AstarCouplizer::pop() {
    const std::uint32_t top = heap_.front();
    nodes_[top].heap_index = kNoNode;
    const std::uint32_t last = heap_.back();
    heap_.pop_back();
    if (!heap_.empty()) {
        std::size_t index = 0;
        for (;;) {
            std::size_t child = 2 * index + 1;
            if (child >= heap_.size()) break;
            if (child + 1 < heap_.size() && before(heap_[child + 1], heap_[child])) ++child;
            if (!before(heap_[child], last)) break;
            place(index, heap_[child]);
            index = child;
        }
        place(index, last);
    }
    return top;
}

// --- the search ----------------------------------------------------------------------------------

bool AstarCouplizer::IdEqual::operator()(std::uint32_t a, std::uint32_t b) const {
    return std::equal(self->places_of(a), self->places_of(a) + self->searched_.size(),
                      self->places_of(b));
}

// Chooses the searched qubits: slots [0, gate_slots_) are the qubits of `gates`, then come the
// other qubits of the next slices that the look-ahead (or, for one slice, the tie-break) reads.
void AstarCouplizer::prepare_search(const Order& layout, Gates gates, std::uint32_t slice) {
    searched_.clear();
    std::vector<std::uint32_t> slot_of(nb_logical_, kNoSlot);  // by logical qubit of the circuit
    auto slot = [&](std::uint32_t q) {
        if (slot_of[q] == kNoSlot) {
            slot_of[q] = static_cast<std::uint32_t>(searched_.size());
            searched_.push_back(Logical{q});
        }
        return slot_of[q];
    };
    goal_.clear();
    for (std::uint32_t g : gates) {
        const std::uint32_t a = slot(gate_lists_[g][0]);
        goal_.push_back({a, slot(gate_lists_[g][1])});
    }
    gate_slots_ = searched_.size();
    // The gates of a slice act on distinct qubits, so gate k holds slots 2k and 2k + 1.
    assert(gate_slots_ == 2 * gates.size());
    ahead_.clear();
    const std::uint32_t read = std::max<std::uint32_t>(lookahead_, 1);  // the tie-break reads one
    for (std::uint32_t k = 1; k <= read && slice + k < slices_.size(); ++k) {
        std::vector<SlotPair>& row = ahead_.emplace_back();
        for (std::uint32_t g : slices_[slice + k].gates) {
            const std::uint32_t a = slot(gate_lists_[g][0]);
            row.push_back({a, slot(gate_lists_[g][1])});
        }
    }
    places_.clear();
    for (Logical q : searched_) places_.push_back(layout.get_physical_qubit(q));
}

// Adds node `id` (the last of nodes_, its placement and hash already written) unless its state
// was met before; a queued node met again with fewer SWAPs takes the cheaper parent. Returns
// false when the node limit is reached.
template <typename Table>
bool AstarCouplizer::offer(Table& table, std::uint32_t id, std::uint32_t parent, Physical from,
                           Physical to) {
    assert(id + 1 == nodes_.size());
    const std::uint32_t cost = nodes_[parent].cost + 1;
    if (auto found = table.find(id); found != table.end()) {
        Node& known = nodes_[*found];
        if (!known.expanded && cost < known.cost) {
            // Same state by another path: the path found is read back through parents, and the
            // same SWAP from this parent reaches the same state.
            known.cost = cost;
            known.parent = parent;
            known.swapped[0] = from;
            known.swapped[1] = to;
            sift_up(known.heap_index);
        }
        nodes_.pop_back();
        return true;
    }
    const double guess = estimate(places_of(id));
    if (bound_ != kNoBound && cost + guess > bound_) {  // see `plan`
        nodes_.pop_back();
        return true;
    }
    const Node& from_node = nodes_[parent];
    if (partial_ && cost + guess > from_node.cost + from_node.estimate) {  // see `search`
        skipped_ = std::min(skipped_, cost + guess);
        nodes_.pop_back();
        return true;
    }
    if (node_limit_ != kNoLimit && nodes_.size() + requeued_ > node_limit_) {
        nodes_.pop_back();
        capped_ = true;
        return false;
    }
    Node& node = nodes_.back();
    node.parent = parent;
    node.swapped[0] = from;
    node.swapped[1] = to;
    node.cost = cost;
    node.estimate = guess;
    node.next_excess = next_excess(places_of(id));
    table.insert(id);
    push(id);
    return true;
}

// Best-first search from `layout` for a placement of every gate of `gates` on neighbours.
// Returns the id of the node found, or kNoNode, with the search's nodes still alive, when the
// queue empties (no placement fits these gates at once) or the node limit is reached.
//
// A state is where the searched qubits sit: the other qubits never count in the goal, the
// estimate, the order of expansion or a SWAP's cost, so the fewest SWAPs from placements that
// agree on the searched qubits are equal and the first one met stands for all. On topologies
// larger than the slice this keeps the search from telling apart arrangements of the qubits it
// merely pushes aside. Children are the SWAPs that move a qubit of `gates`: a SWAP of two other
// qubits moves none of them, so leaving it out of a solution leaves a solution.
//
// The search for the fewest SWAPs also leaves out the SWAP of a gate's two qubits (slots 2k and
// 2k + 1): no solution with the fewest SWAPs has one. Drop it from a solution and apply the
// later SWAPs, which act on physical qubits, unchanged: at the end those two qubits sit each
// where the other would have, still neighbours, and every other qubit where it would have, so
// every gate still acts on neighbours, with one SWAP fewer. (With a look-ahead the placement left
// for the next slices counts too, so there they stay.)
//
// That search also expands a node in parts: it creates only the children whose cost + estimate
// equals the node's own value and queues the node again with the smallest value it left out.
// The estimate is consistent, so no child's value is below its parent's, and each child is
// created by the time the search reaches its value: nodes are expanded in the same order of
// value as by a whole expansion, so the count found is the same fewest, while the children
// above the value of the solution (most of them: a SWAP usually brings no gate closer) are
// never created, nor counted against the node limit.
std::uint32_t AstarCouplizer::search(const Order& layout, Gates gates, std::uint32_t slice) {
    const RoutingTarget& target = *target_;
    prepare_search(layout, gates, slice);
    capped_ = false;
    requeued_ = 0;
    const std::size_t slots = searched_.size();
    std::unordered_set<std::uint32_t, IdHash, IdEqual> table(1024, IdHash{this}, IdEqual{this});
    nodes_.emplace_back();
    Node& root = nodes_.back();
    for (std::size_t k = 0; k < slots; ++k) root.hash ^= placement_key(searched_[k], places_[k]);
    root.estimate = estimate(places_of(0));
    root.next_excess = next_excess(places_of(0));
    table.insert(0);
    assert(bound_ == kNoBound || root.estimate <= bound_);

    std::uint32_t current = 0;
    std::size_t expanded = 0;
    partial_ = !summing_ && lookahead_ == 0;
    while (!fits(places_of(current))) {
        current_ = current;
        assert(partial_ || !nodes_[current].expanded);
        nodes_[current].expanded = true;
        max_expanded_ = std::max(max_expanded_, ++expanded);
        skipped_ = std::numeric_limits<double>::infinity();
        // Expanding in parts: each child's value from its parent's excesses in O(1), so that only
        // the children at the node's value are written out and looked up.
        const double value = nodes_[current].cost + nodes_[current].estimate;
        if (partial_) measure_excess(places_of(current));
        for (std::size_t k = 0; k < slots; ++k)
            slot_at_[index(places_of(current)[k])] = static_cast<std::uint32_t>(k);
        for (std::size_t c = 0; c < gate_slots_; ++c) {
            const Physical pc = places_of(current)[c];
            for (Physical p : target.neighbours(pc)) {
                const std::uint32_t w = slot_at_[index(p)];
                if (w == (c ^ 1) && !summing_ && lookahead_ == 0) continue;  // partners
                if (partial_) {
                    const double f = nodes_[current].cost + 1 + child_estimate(c, p, w, pc);
                    if (f > value && (bound_ == kNoBound || f <= bound_))
                        skipped_ = std::min(skipped_, f);
                    if (f != value) continue;  // below: met in an earlier part
                }
                // Write the child's placement into the next slot, then keep or drop it.
                const auto id = static_cast<std::uint32_t>(nodes_.size());
                places_.resize(places_.size() + slots);
                Physical* child = places_of(id);
                std::copy(places_of(current), places_of(current) + slots, child);
                child[c] = p;
                std::uint64_t hash = nodes_[current].hash ^ placement_key(searched_[c], pc) ^
                                     placement_key(searched_[c], p);
                if (w != kNoSlot) {
                    child[w] = pc;
                    hash ^= placement_key(searched_[w], p) ^ placement_key(searched_[w], pc);
                }
                nodes_.emplace_back().hash = hash;
                const bool kept = offer(table, id, current, pc, p);
                if (nodes_.size() == id) places_.resize(places_.size() - slots);
                if (!kept) {
                    for (std::size_t k = 0; k < slots; ++k)
                        slot_at_[index(places_of(current)[k])] = kNoSlot;
                    return kNoNode;
                }
            }
        }
        for (std::size_t k = 0; k < slots; ++k) slot_at_[index(places_of(current)[k])] = kNoSlot;
        if (skipped_ != std::numeric_limits<double>::infinity()) {
            // Queued again for the children it left out, behind every node below their value.
            Node& node = nodes_[current];
            assert(skipped_ > node.cost + node.estimate);
            node.estimate = skipped_ - node.cost;
            push(current);
            ++requeued_;  // counts against the node limit, which thus bounds the work too
            if (node_limit_ != kNoLimit && nodes_.size() + requeued_ > node_limit_) {
                capped_ = true;
                return kNoNode;
            }
        }
        if (heap_.empty()) return kNoNode;
        current = pop();
    }
    return current;
}

// The SWAPs (physical) from the root to node `found`, in order.
void AstarCouplizer::take_path(std::uint32_t found, std::vector<PhysicalSwap>& swaps) const {
    swaps.clear();
    for (std::uint32_t id = found; nodes_[id].parent != kNoNode; id = nodes_[id].parent)
        swaps.push_back({nodes_[id].swapped[0], nodes_[id].swapped[1]});
    std::reverse(swaps.begin(), swaps.end());
    assert(swaps.size() == nodes_[found].cost);
}

// Finds SWAPs from `layout` after which every gate of `gates` acts on neighbours; false when
// none is found (no placement fits them all at once, or the node limit stopped the searches).
//
// With the default estimate, the sum estimate's search runs first: it is short, and its count U
// bounds the fewest from above. The search with the default estimate then leaves out every
// child whose cost + estimate exceeds U. That loses no solution of at most U SWAPs: the estimate
// never overestimates the SWAPs left, so every node on such a solution's path has cost +
// estimate at most U, and the node is created when its cheapest parent is expanded (a node
// left out by a dearer path is not remembered). The nodes it does create are the ones it would
// create anyway, so it finds the same fewest-SWAPs solution, with fewer nodes. Only when it
// reaches the node limit is the slice given the U SWAPs (`summed_searches`), as it would have
// been given the sum estimate's search after the limit.
//
// With a look-ahead the estimate is no lower bound, so the searches run as first written: the
// default estimate, then the sum estimate when that reaches the node limit.
bool AstarCouplizer::plan(const Order& layout, Gates gates, std::uint32_t slice,
                          std::vector<PhysicalSwap>& swaps) {
    bound_ = kNoBound;
    if (lookahead_ > 0 && estimate_kind_ == AstarEstimate::kMaxDistance) {
        summing_ = false;
        std::uint32_t found = search(layout, gates, slice);
        if (found == kNoNode && capped_) {
            release_search();
            summing_ = true;
            ++summed_searches_;
            found = search(layout, gates, slice);
        }
        if (found != kNoNode) take_path(found, swaps);
        release_search();
        return found != kNoNode;
    }
    summing_ = true;
    std::uint32_t found = search(layout, gates, slice);
    if (estimate_kind_ == AstarEstimate::kSumDistance) {
        if (found != kNoNode) take_path(found, swaps);
        release_search();
        return found != kNoNode;
    }
    const bool have_upper = found != kNoNode;
    if (have_upper) take_path(found, swaps);
    const bool sum_capped = capped_;
    release_search();
    // The sum estimate's search saw every state when it ended without reaching the limit. When
    // it reached the limit, the search for the fewest (which creates more nodes) is not tried:
    // the slice is counted as one that reached the limit and is routed gate by gate.
    if (!have_upper) {
        if (sum_capped) ++summed_searches_;
        return false;
    }

    summing_ = false;
    bound_ = static_cast<std::uint32_t>(swaps.size());
    found = search(layout, gates, slice);
    if (found != kNoNode) {
        assert(nodes_[found].cost <= swaps.size());
        take_path(found, swaps);
    } else {
        // Short of the limit, the bounded search always finds a solution: U's is one.
        assert(capped_);
        ++summed_searches_;
    }
    release_search();
    return true;
}

// Appends the SWAPs found for `gates`, then the gates, and moves `layout` along. A slice whose
// search fails is redone for each gate in turn: the gates of one slice are all ready and act on
// distinct qubits, so emitting one before routing the next keeps the circuit's order on every
// qubit, and a single gate's search is short (its estimate is exact).
void AstarCouplizer::route_gates(Order& layout, Gates gates, std::uint32_t slice,
                                 std::vector<Step>& steps) {
    std::vector<PhysicalSwap> swaps;
    bool planned = false;
    try {
        planned = plan(layout, gates, slice, swaps);
    } catch (...) {
        release_search();
        throw;
    }
    if (!planned) {
        if (gates.size() == 1)
            throw std::invalid_argument("The A* search for operation " + std::to_string(gates[0]) +
                                        " exceeded the limit of " + std::to_string(node_limit_) +
                                        " nodes");
        ++split_searches_;
        for (std::size_t g = 0; g < gates.size(); ++g)
            route_gates(layout, gates.subspan(g, 1), slice, steps);
        return;
    }
    for (const PhysicalSwap& swap : swaps) {
        assert(target_->are_neighbours(swap.a, swap.b));
        steps.push_back(
            Step::swap_step(layout.get_logical_qubit(swap.a), layout.get_logical_qubit(swap.b)));
        layout.insert_physical_swap(swap.a, swap.b);
    }
    for (std::uint32_t g : gates) {
        const Interaction& q = gate_lists_[g];
        assert(target_->are_neighbours(layout.get_physical_qubit(Logical{q[0]}),
                                       layout.get_physical_qubit(Logical{q[1]})));
        steps.push_back(Step::gate_step(g));
    }
}

void AstarCouplizer::release_search() {
    nodes_.clear();
    places_.clear();
    heap_.clear();
}

}  // namespace couplize
