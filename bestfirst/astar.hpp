#pragma once
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <numeric>
#include <span>
#include <stdexcept>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "swapcore/gate.hpp"
#include "swapcore/qubit_graph.hpp"

namespace couplize {

// Slice-by-slice A* router.
//
// The constructor cuts the circuit into slices: sets of two-qubit gates on pairwise distinct
// qubits, at most `size_slice` each, every gate landing in the earliest slice after the last one
// that uses either of its qubits and still has room. One-qubit gates follow the last two-qubit
// gate on their qubit (or are emitted first, as begin gates, when there is none).
//
// `start_couplization` then walks the slices with a qubit order (logical -> physical, over every
// physical qubit of the topology) and, per slice, runs a best-first search on cost (SWAPs so far)
// plus estimate for an order in which every gate of the slice acts on neighbours. In terms of
// each gate's excess e = distance - 1 (0 once its qubits are neighbours):
// - the default estimate is max(largest e, ceil(sum of e / 2)). One SWAP moves two qubits by
//   one edge each, and the gates of a slice act on distinct qubits, so it shortens at most two
//   gates by one each: the estimate never overestimates and changes by at most one per SWAP
//   (admissible and consistent), so the SWAP count found is the fewest from the slice's start;
// - the sum estimate (`use_sum_heuristic`) is the sum of e: it can overestimate (one SWAP can
//   shorten two gates), so it searches less but its count may exceed the fewest;
// - with a look-ahead (`set_lookahead`), the estimate also counts the excess of the next slices'
//   gates, slice k after this one weighted by discount^k. That steers the order towards the
//   gates that follow, but is no longer a lower bound: per-slice counts may exceed the fewest.
// Among equal cost + estimate the deeper node (more SWAPs made) is expanded first, then the one
// whose order leaves the next slice's gates shorter (summed excess), then the one created first.
// A state (where the qubits of this slice and of the next slices read sit) is held by at most
// one node per search and queued at most once: a cheaper way to a queued state
// updates that node in place; an expanded state is never reopened (with a consistent estimate
// its cost is already the fewest).
//
// Nodes of one search live in flat arrays released when it ends, so memory is bounded by the
// largest single search; `set_node_limit` bounds that one too. A search with the default
// estimate that reaches the limit is redone with the sum estimate. A search that still reaches
// the limit, or finds that no order fits all its gates at once (e.g. two disjoint gates on a
// star), is redone for each of its gates in turn; a single gate always has a solution once its
// qubits are connected. Only slices searched again can exceed their fewest SWAP count.
//
// Distances come from the topology's all-pairs table (O(1) per query) and orders are hashed
// incrementally (one random key per (logical, physical) pair, XOR-ed); an expansion costs
// O(children * (gates estimated + qubits)).
class AstarCouplizer {
public:
    struct Slice {
        std::vector<std::uint32_t> gates;            // two-qubit gates, in placement order
        std::vector<std::uint32_t> one_qubit_gates;  // one-qubit gates following this slice
    };

    // A gate step (`first` = gate index) or a SWAP step (`first`, `second` = logical qubits).
    struct Step {
        bool is_swap = false;
        std::uint32_t first = 0;
        std::uint32_t second = 0;
        bool operator==(const Step&) const = default;
    };

    AstarCouplizer(std::vector<Interaction> gates, std::uint32_t nbqbits, std::uint32_t size_slice,
                   bool use_sum_heuristic)
        : gate_lists_(std::move(gates)), nbqbits_(nbqbits), use_sum_heuristic_(use_sum_heuristic) {
        if (size_slice == 0) throw std::invalid_argument("size_slice must be at least 1");
        make_slices(size_slice);
    }

    // Copies the topology; it must cover every qubit of the circuit.
    void set_graph(const QubitGraph& graph) {
        if (graph.get_nbqubits() < nbqbits_)
            throw std::invalid_argument("The circuit uses " + std::to_string(nbqbits_) +
                                        " qubits but the topology has only " +
                                        std::to_string(graph.get_nbqubits()));
        graph_ = graph;
        nbphysical_ = graph_.get_nbqubits();
        distances_ = graph_.routing_target()->distances();
        graph_defined_ = true;
    }

    // Largest number of nodes one search may create; 0 means no limit.
    void set_node_limit(std::size_t limit) { node_limit_ = limit; }

    // Counts the excess of the next `slices` slices' gates in the estimate, slice k after the
    // current one weighted by discount^k; 0 slices (the default) turns it off.
    void set_lookahead(std::uint32_t slices, double discount) {
        if (!(discount > 0.0 && discount <= 1.0))
            throw std::invalid_argument("The look-ahead discount must be in (0, 1], got " +
                                        std::to_string(discount));
        lookahead_ = slices;
        discount_ = discount;
    }

    const std::vector<std::uint32_t>& begin_gates() const { return begin_gates_; }
    const std::vector<Slice>& slices() const { return slices_; }
    // Largest number of nodes expanded by one search during the last run.
    std::size_t max_expanded() const { return max_expanded_; }
    // Searches of the last run that failed and were redone gate by gate.
    std::size_t split_searches() const { return split_searches_; }
    // Searches of the last run that reached the node limit with the default estimate and were
    // redone with the sum estimate.
    std::size_t summed_searches() const { return summed_searches_; }
    // Nodes currently alive (0 outside a search).
    std::size_t live_nodes() const { return nodes_.size(); }

    using Gates = std::span<const std::uint32_t>;  // indices of two-qubit gates on distinct qubits

    // The search's estimate for `gates` (of slice `slice`, whose followers the look-ahead reads)
    // from `order`.
    double estimate(const std::uint32_t* order, Gates gates, std::uint32_t slice) const {
        std::uint32_t largest = 0, sum = 0;
        for (std::uint32_t g : gates) {
            const std::uint32_t e = excess(order, g);
            largest = std::max(largest, e);
            sum += e;
        }
        double result = summing_ ? sum : std::max(largest, (sum + 1) / 2);
        double weight = 1.0;
        for (std::uint32_t k = 1; k <= lookahead_ && slice + k < slices_.size(); ++k) {
            weight *= discount_;
            std::uint32_t ahead = 0;
            for (std::uint32_t g : slices_[slice + k].gates) {
                const std::uint32_t d = distance(order, g);
                if (d != QubitGraph::unreachable) ahead += d - 1;
            }
            result += weight * ahead;
        }
        return result;
    }

    std::vector<Step> start_couplization() {
        if (!graph_defined_) throw std::invalid_argument("The graph is not defined");
        std::vector<Step> steps;
        for (std::uint32_t g : begin_gates_) steps.push_back({false, g, 0});
        std::vector<std::uint32_t> order(nbphysical_);
        std::iota(order.begin(), order.end(), 0u);
        max_expanded_ = 0;
        split_searches_ = 0;
        summed_searches_ = 0;
        for (std::uint32_t s = 0; s < slices_.size() && !slices_[s].gates.empty(); ++s) {
            check_reachable(order, s);
            route_gates(order, slices_[s].gates, s, steps);
            for (std::uint32_t g : slices_[s].one_qubit_gates) steps.push_back({false, g, 0});
        }
        return steps;
    }

private:
    static constexpr std::uint32_t no_node = std::numeric_limits<std::uint32_t>::max();

    // One search state; its order is orders_[id * nbphysical_ ...].
    struct Node {
        std::uint32_t parent = no_node;
        std::uint32_t swapped[2] = {0, 0};  // logical qubits exchanged from the parent
        std::uint32_t cost = 0;             // SWAPs from the root
        double estimate = 0;
        std::uint32_t next_excess = 0;  // summed excess of the next slice's gates (ties only)
        std::uint64_t hash = 0;
        std::uint32_t heap_index = no_node;  // position in heap_, no_node when not queued
        bool expanded = false;
    };

    // Hash and equality of node ids by where their orders put the searched gates' qubits, for
    // the table of placements met (see `search`).
    struct IdHash {
        const AstarCouplizer* self;
        std::size_t operator()(std::uint32_t id) const { return self->nodes_[id].hash; }
    };
    struct IdEqual {
        const AstarCouplizer* self;
        bool operator()(std::uint32_t a, std::uint32_t b) const {
            const std::uint32_t* x = self->order_of(a);
            const std::uint32_t* y = self->order_of(b);
            for (std::uint32_t q : self->searched_qubits_)
                if (x[q] != y[q]) return false;
            return true;
        }
    };

    // Key of logical qubit q on physical qubit p (splitmix64 of the pair).
    static std::uint64_t placement_key(std::uint32_t q, std::uint32_t p) {
        std::uint64_t z = (static_cast<std::uint64_t>(q) << 32 | p) + 0x9E3779B97F4A7C15ull;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }

    const std::uint32_t* order_of(std::uint32_t id) const {
        return orders_.data() + static_cast<std::size_t>(id) * nbphysical_;
    }
    std::uint32_t* order_of(std::uint32_t id) {
        return orders_.data() + static_cast<std::size_t>(id) * nbphysical_;
    }

    std::uint32_t distance(const std::uint32_t* order, std::uint32_t gate) const {
        const Interaction& qubits = gate_lists_[gate];
        return distances_[static_cast<std::size_t>(order[qubits[0]]) * nbphysical_ +
                          order[qubits[1]]];
    }
    std::uint32_t distance(const std::vector<std::uint32_t>& order, std::uint32_t gate) const {
        return distance(order.data(), gate);
    }
    std::uint32_t excess(const std::uint32_t* order, std::uint32_t gate) const {
        return distance(order, gate) - 1;
    }

    // Breaks ties between nodes of equal cost + estimate and cost: the order that leaves the
    // next slice's gates shorter first. It never changes the SWAP count found.
    std::uint32_t next_excess(const std::uint32_t* order, std::uint32_t slice) const {
        std::uint32_t sum = 0;
        if (slice + 1 < slices_.size())
            for (std::uint32_t g : slices_[slice + 1].gates) {
                const std::uint32_t d = distance(order, g);
                if (d != QubitGraph::unreachable) sum += d - 1;
            }
        return sum;
    }

    bool is_compatible(const std::uint32_t* order, Gates gates) const {
        for (std::uint32_t g : gates)
            if (distance(order, g) != 1) return false;
        return true;
    }

    void make_slices(std::uint32_t size_slice) {
        std::vector<std::uint32_t> next_slice(nbqbits_, 0);
        for (std::uint32_t i = 0; i < gate_lists_.size(); ++i) {
            const Interaction& qubits = gate_lists_[i];
            if (qubits.size() > 2)
                throw std::invalid_argument("Cannot treat gates with more than 2 qubits");
            if (qubits.empty())
                throw std::invalid_argument("Operation " + std::to_string(i) + " has no qubits");
            for (std::uint32_t q : qubits)
                if (q >= nbqbits_)
                    throw std::invalid_argument("Operation " + std::to_string(i) + " uses qubit " +
                                                std::to_string(q) + " but the circuit has " +
                                                std::to_string(nbqbits_) + " qubits");
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
                throw std::invalid_argument("Operation " + std::to_string(i) +
                                            " acts twice on qubit " + std::to_string(a));
            std::uint32_t f = std::max(next_slice[a], next_slice[b]);
            while (f < slices_.size() && slices_[f].gates.size() >= size_slice) ++f;
            if (f == slices_.size()) slices_.emplace_back();
            slices_[f].gates.push_back(i);
            next_slice[a] = next_slice[b] = f + 1;
        }
    }

    // A logical qubit never leaves the connected component it starts in, so a gate whose two
    // qubits sit in different components (or on a qubit without neighbours) has no solution.
    void check_reachable(const std::vector<std::uint32_t>& order, std::uint32_t slice) const {
        for (std::uint32_t g : slices_[slice].gates) {
            const std::uint32_t d = distance(order, g);
            if (d != QubitGraph::unreachable) continue;
            const Interaction& q = gate_lists_[g];
            throw std::invalid_argument(
                "Cannot route the gate on qubits " + std::to_string(q[0]) + " and " +
                std::to_string(q[1]) + " (operation " + std::to_string(g) +
                "): the topology does not connect physical qubits " + std::to_string(order[q[0]]) +
                " and " + std::to_string(order[q[1]]));
        }
    }

    // --- the open list: a binary heap of node ids that tracks each node's position -------------

    // Whether node a is expanded before node b: smaller cost + estimate, then more SWAPs made,
    // then a shorter next slice, then created first.
    bool before(std::uint32_t a, std::uint32_t b) const {
        const Node& x = nodes_[a];
        const Node& y = nodes_[b];
        const double fx = x.cost + x.estimate, fy = y.cost + y.estimate;
        if (fx != fy) return fx < fy;
        if (x.cost != y.cost) return x.cost > y.cost;
        if (x.next_excess != y.next_excess) return x.next_excess < y.next_excess;
        return a < b;
    }

    void place(std::size_t index, std::uint32_t id) {
        heap_[index] = id;
        nodes_[id].heap_index = static_cast<std::uint32_t>(index);
    }

    void sift_up(std::size_t index) {
        const std::uint32_t id = heap_[index];
        while (index > 0) {
            const std::size_t up = (index - 1) / 2;
            if (!before(id, heap_[up])) break;
            place(index, heap_[up]);
            index = up;
        }
        place(index, id);
    }

    void push(std::uint32_t id) {
        heap_.push_back(id);
        sift_up(heap_.size() - 1);
    }

    std::uint32_t pop() {
        const std::uint32_t top = heap_.front();
        nodes_[top].heap_index = no_node;
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

    // --- the search ----------------------------------------------------------------------------

    // Adds a node for orders_' slot `id` (already written) unless its order was met before; a
    // queued node met again with fewer SWAPs takes the cheaper parent. Returns false when the
    // node limit is reached.
    template <typename Table>
    bool offer(Table& table, std::uint32_t id, std::uint32_t parent, std::uint32_t c,
               std::uint32_t w, Gates gates, std::uint32_t slice) {
        const std::uint32_t cost = nodes_[parent].cost + 1;
        if (auto found = table.find(id); found != table.end()) {
            Node& known = nodes_[*found];
            if (!known.expanded && cost < known.cost) {
                // Same state, maybe another arrangement of the other qubits: take this one, so
                // that the node's order stays its parent's with its own SWAP applied.
                std::copy(order_of(id), order_of(id) + nbphysical_, order_of(*found));
                known.cost = cost;
                known.parent = parent;
                known.swapped[0] = c;
                known.swapped[1] = w;
                sift_up(known.heap_index);
            }
            nodes_.pop_back();
            return true;
        }
        if (node_limit_ != 0 && nodes_.size() > node_limit_) {
            nodes_.pop_back();
            return false;
        }
        Node& node = nodes_.back();
        node.parent = parent;
        node.swapped[0] = c;
        node.swapped[1] = w;
        node.cost = cost;
        node.estimate = estimate(order_of(id), gates, slice);
        node.next_excess = next_excess(order_of(id), slice);
        table.insert(id);
        push(id);
        return true;
    }

    // Best-first search from `order` for an order placing every gate of `gates` on neighbours.
    // Returns the id of the node found, or no_node, with the search's nodes still alive, when
    // the queue empties (no order fits these gates at once) or the node limit is reached.
    //
    // Orders that place the gates' qubits (and those of the next slices read by the look-ahead
    // or the tie-break) alike are one state: the other qubits never count in the goal, the
    // estimate, the order of expansion or a SWAP's cost, so the fewest SWAPs from such orders
    // are equal and the first one met stands for all. On topologies
    // larger than the slice this keeps the search from telling apart arrangements of the qubits
    // it merely pushes aside.
    std::uint32_t search(const std::vector<std::uint32_t>& order, Gates gates,
                         std::uint32_t slice) {
        const std::uint32_t n = nbphysical_;
        searched_qubits_.clear();
        in_search_.assign(n, 0);
        for (std::uint32_t g : gates)
            for (std::uint32_t q : gate_lists_[g]) {
                searched_qubits_.push_back(q);
                in_search_[q] = 1;
            }
        // The look-ahead also reads where the next slices' qubits are.
        const std::uint32_t ahead = std::max<std::uint32_t>(lookahead_, 1);  // ties read one
        for (std::uint32_t k = 1; k <= ahead && slice + k < slices_.size(); ++k)
            for (std::uint32_t g : slices_[slice + k].gates)
                for (std::uint32_t q : gate_lists_[g])
                    if (!in_search_[q]) {
                        searched_qubits_.push_back(q);
                        in_search_[q] = 1;
                    }
        std::unordered_set<std::uint32_t, IdHash, IdEqual> table(1024, IdHash{this}, IdEqual{this});
        nodes_.emplace_back();
        orders_.assign(order.begin(), order.end());
        Node& root = nodes_.back();
        for (std::uint32_t q : searched_qubits_) root.hash ^= placement_key(q, order[q]);
        root.estimate = estimate(order.data(), gates, slice);
        root.next_excess = next_excess(order.data(), slice);
        table.insert(0);

        std::uint32_t current = 0;
        std::size_t expanded = 0;
        std::vector<std::uint32_t> inverse(n);  // physical -> logical of the node expanded
        while (!is_compatible(order_of(current), gates)) {
            nodes_[current].expanded = true;
            max_expanded_ = std::max(max_expanded_, ++expanded);
            const std::uint32_t* from = order_of(current);
            for (std::uint32_t q = 0; q < n; ++q) inverse[from[q]] = q;
            for (std::uint32_t g : gates) {
                for (std::uint32_t c : gate_lists_[g]) {
                    const std::uint32_t pc = order_of(current)[c];
                    for (std::uint32_t p : graph_.neighbours(pc)) {
                        const std::uint32_t w = inverse[p];
                        // Write the child's order into the next slot, then keep or drop it.
                        const auto id = static_cast<std::uint32_t>(nodes_.size());
                        orders_.resize(orders_.size() + n);
                        std::uint32_t* child = order_of(id);
                        std::copy(order_of(current), order_of(current) + n, child);
                        std::swap(child[c], child[w]);
                        nodes_.emplace_back();
                        std::uint64_t hash =
                            nodes_[current].hash ^ placement_key(c, pc) ^ placement_key(c, p);
                        if (in_search_[w]) hash ^= placement_key(w, p) ^ placement_key(w, pc);
                        nodes_.back().hash = hash;
                        const bool kept = offer(table, id, current, c, w, gates, slice);
                        if (nodes_.size() == id) orders_.resize(orders_.size() - n);
                        if (!kept) return no_node;
                    }
                }
            }
            if (heap_.empty()) return no_node;
            current = pop();
        }
        return current;
    }

    // Appends the SWAPs found for `gates`, then the gates, and moves `order` along. A search
    // that fails is redone for each gate in turn: the gates of one slice are all ready and act
    // on distinct qubits, so emitting one before routing the next keeps the circuit's order on
    // every qubit, and a single gate's search is short (its estimate is exact).
    //
    // When the search with the default estimate reaches the node limit, the sum estimate is
    // tried first: it searches far less, at the price of the guarantee for this slice.
    void route_gates(std::vector<std::uint32_t>& order, Gates gates, std::uint32_t slice,
                     std::vector<Step>& steps) {
        std::uint32_t found = no_node;
        try {
            summing_ = use_sum_heuristic_;
            found = search(order, gates, slice);
            if (found == no_node && !summing_ && node_limit_ != 0 && nodes_.size() >= node_limit_) {
                release_search();
                summing_ = true;
                ++summed_searches_;
                found = search(order, gates, slice);
            }
        } catch (...) {
            release_search();
            throw;
        }
        if (found == no_node) {
            release_search();
            if (gates.size() == 1)
                throw std::length_error("The A* search for operation " + std::to_string(gates[0]) +
                                        " exceeded the limit of " + std::to_string(node_limit_) +
                                        " nodes");
            ++split_searches_;
            for (std::size_t g = 0; g < gates.size(); ++g)
                route_gates(order, gates.subspan(g, 1), slice, steps);
            return;
        }
        order.assign(order_of(found), order_of(found) + nbphysical_);
        const std::size_t first_swap = steps.size();
        for (std::uint32_t id = found; nodes_[id].parent != no_node; id = nodes_[id].parent)
            steps.push_back({true, nodes_[id].swapped[0], nodes_[id].swapped[1]});
        std::reverse(steps.begin() + static_cast<std::ptrdiff_t>(first_swap), steps.end());
        release_search();
        for (std::uint32_t g : gates) steps.push_back({false, g, 0});
    }

    void release_search() {
        nodes_.clear();
        orders_.clear();
        heap_.clear();
    }

    std::vector<std::uint32_t> begin_gates_;
    std::vector<Slice> slices_;
    std::vector<Interaction> gate_lists_;
    std::uint32_t nbqbits_;
    bool use_sum_heuristic_;
    bool summing_ = false;  // estimate of the search under way
    QubitGraph graph_;

    bool graph_defined_ = false;
    std::uint32_t nbphysical_ = 0;
    std::vector<std::uint32_t> distances_;  // graph_'s all-pairs table, row-major
    std::uint32_t lookahead_ = 0;           // slices after the current one in the estimate
    double discount_ = 0.5;
    std::vector<Node> nodes_;                     // every node of the current search, by id
    std::vector<std::uint32_t> orders_;           // their orders, nbphysical_ entries each
    std::vector<std::uint32_t> heap_;             // ids of queued nodes
    std::vector<std::uint32_t> searched_qubits_;  // logical qubits whose places make a state
    std::vector<char> in_search_;                 // by logical qubit: one of them
    std::size_t node_limit_ = 0;
    std::size_t max_expanded_ = 0;
    std::size_t split_searches_ = 0;
    std::size_t summed_searches_ = 0;
};

}  // namespace couplize
