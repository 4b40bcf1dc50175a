#pragma once
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <numeric>
#include <queue>
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
// plus estimate (largest or summed distance of the slice's gates) for an order in which every
// gate of the slice acts on neighbours. Each order is queued at most once per search. All nodes
// of one search live in `nodes_` and are released when it ends, so memory is bounded by the
// largest single search; `set_node_limit` bounds that one too. A search that reaches the limit,
// or finds that no order fits all its gates at once (e.g. two disjoint gates on a star), is
// redone on each half of its gates in turn, down to single gates, which always have a solution
// once their qubits are connected.
//
// Distances come from the topology's all-pairs table (O(1) per query); an expansion costs
// O(children * (gates of the slice + qubits)).
class AstarCouplizer {
public:
    struct Slice {
        std::vector<std::uint32_t> gates;            // two-qubit gates, in placement order
        std::vector<std::uint32_t> one_qubit_gates;  // one-qubit gates following this slice
    };

    struct Node {
        Node* parent = nullptr;  // not owning; null for the root
        std::vector<std::uint32_t> order;
        std::pair<std::uint32_t, std::uint32_t> swapped{0, 0};  // logical qubits exchanged
        std::uint32_t cost = 0;                                 // SWAPs from the root
        std::uint32_t estimate = 0;                             // estimate for the rest

        // Reversed so that a max-heap of nodes yields the smallest cost + estimate first.
        bool operator<(const Node& other) const {
            return other.cost + other.estimate < cost + estimate;
        }
    };

    struct Comparator {
        bool operator()(const Node* a, const Node* b) const { return *a < *b; }
    };
    using Queue = std::priority_queue<Node*, std::vector<Node*>, Comparator>;

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
        distances_ = graph_.distance_table();
        graph_defined_ = true;
    }

    // Largest number of nodes one search may create; 0 means no limit.
    void set_node_limit(std::size_t limit) { node_limit_ = limit; }

    const std::vector<std::uint32_t>& begin_gates() const { return begin_gates_; }
    const std::vector<Slice>& slices() const { return slices_; }
    // Largest number of nodes expanded by one search during the last run.
    std::size_t max_expanded() const { return max_expanded_; }
    // Searches of the last run that failed and were retried on halves of their gates.
    std::size_t split_searches() const { return split_searches_; }
    // Nodes currently alive (0 outside a search).
    std::size_t live_nodes() const { return nodes_.size(); }

    using Gates = std::span<const std::uint32_t>;  // indices of two-qubit gates on distinct qubits

    // Largest (or, with the sum heuristic, summed) distance between the qubits of `gates`.
    std::uint32_t heuristic(const std::vector<std::uint32_t>& order, Gates gates) const {
        std::uint32_t result = 0;
        for (std::uint32_t g : gates) {
            const std::uint32_t d = distance(order, g);
            result = use_sum_heuristic_ ? result + d : std::max(result, d);
        }
        return result;
    }

    bool is_compatible(const Node* node, Gates gates) const {
        for (std::uint32_t g : gates)
            if (distance(node->order, g) != 1) return false;
        return true;
    }

    // Creates every order reached by one SWAP of a qubit of `gates` with a neighbour; queues the
    // ones not queued before during this search. Returns false when the node limit is reached.
    bool add_children(Node* node, Queue& queue, Gates gates) {
        inverse_.resize(nbphysical_);
        for (std::uint32_t q = 0; q < nbphysical_; ++q) inverse_[node->order[q]] = q;
        for (std::uint32_t g : gates) {
            for (std::uint32_t c : gate_lists_[g]) {
                for (std::uint32_t p : graph_.neighbours(node->order[c])) {
                    const std::uint32_t w = inverse_[p];
                    if (!spare_) spare_ = std::make_unique<Node>();
                    spare_->order = node->order;
                    std::swap(spare_->order[c], spare_->order[w]);
                    if (visited_.contains(&spare_->order)) continue;
                    if (node_limit_ != 0 && nodes_.size() >= node_limit_) return false;
                    spare_->parent = node;
                    spare_->swapped = {c, w};
                    spare_->cost = node->cost + 1;
                    spare_->estimate = heuristic(spare_->order, gates);
                    visited_.insert(&spare_->order);
                    queue.push(spare_.get());
                    nodes_.push_back(std::move(spare_));
                }
            }
        }
        return true;
    }

    std::vector<Step> start_couplization() {
        if (!graph_defined_) throw std::invalid_argument("The graph is not defined");
        std::vector<Step> steps;
        for (std::uint32_t g : begin_gates_) steps.push_back({false, g, 0});
        std::vector<std::uint32_t> order(nbphysical_);
        std::iota(order.begin(), order.end(), 0u);
        max_expanded_ = 0;
        split_searches_ = 0;
        for (std::uint32_t s = 0; s < slices_.size() && !slices_[s].gates.empty(); ++s) {
            check_reachable(order, s);
            route_gates(order, slices_[s].gates, steps);
            for (std::uint32_t g : slices_[s].one_qubit_gates) steps.push_back({false, g, 0});
        }
        return steps;
    }

private:
    // Hash of a qubit order: an order-sensitive mix of every entry, finished by the splitmix64
    // finaliser so that all bits of the result depend on all entries.
    struct OrderHash {
        std::size_t operator()(const std::vector<std::uint32_t>* order) const {
            std::uint64_t h = order->size();
            for (std::uint32_t v : *order) h = (h ^ v) * 0x9E3779B97F4A7C15ull + (h >> 29);
            h ^= h >> 30;
            h *= 0xBF58476D1CE4E5B9ull;
            h ^= h >> 27;
            h *= 0x94D049BB133111EBull;
            h ^= h >> 31;
            return static_cast<std::size_t>(h);
        }
    };
    struct OrderEqual {
        bool operator()(const std::vector<std::uint32_t>* a,
                        const std::vector<std::uint32_t>* b) const {
            return *a == *b;
        }
    };

    std::uint32_t distance(const std::vector<std::uint32_t>& order, std::uint32_t gate) const {
        const Interaction& qubits = gate_lists_[gate];
        return distances_[static_cast<std::size_t>(order[qubits[0]]) * nbphysical_ +
                          order[qubits[1]]];
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

    // Best-first search from `order` for an order placing every gate of `gates` on neighbours.
    // Returns null, with the search's nodes still alive, when the queue empties (no order fits
    // these gates at once) or the node limit is reached.
    const Node* search(const std::vector<std::uint32_t>& order, Gates gates) {
        nodes_.push_back(std::make_unique<Node>());
        Node* node = nodes_.back().get();
        node->order = order;
        Queue queue;
        std::size_t expanded = 0;
        while (!is_compatible(node, gates)) {
            const bool complete = add_children(node, queue, gates);
            max_expanded_ = std::max(max_expanded_, ++expanded);
            if (!complete || queue.empty()) return nullptr;
            node = queue.top();
            queue.pop();
        }
        return node;
    }

    // Appends the SWAPs found for `gates`, then the gates, and moves `order` along. A search
    // that fails is retried on each half of the gates in turn: the gates of one slice are all
    // ready and act on distinct qubits, so emitting the first half before routing the second
    // keeps the circuit's order on every qubit.
    void route_gates(std::vector<std::uint32_t>& order, Gates gates, std::vector<Step>& steps) {
        const Node* found = nullptr;
        try {
            found = search(order, gates);
        } catch (...) {
            release_search();
            throw;
        }
        if (found == nullptr) {
            release_search();
            if (gates.size() == 1)
                throw std::length_error("The A* search for operation " + std::to_string(gates[0]) +
                                        " exceeded the limit of " + std::to_string(node_limit_) +
                                        " nodes");
            ++split_searches_;
            const std::size_t half = gates.size() / 2;
            route_gates(order, gates.first(half), steps);
            route_gates(order, gates.subspan(half), steps);
            return;
        }
        order = found->order;
        const std::size_t first_swap = steps.size();
        for (const Node* n = found; n->parent != nullptr; n = n->parent)
            steps.push_back({true, n->swapped.first, n->swapped.second});
        std::reverse(steps.begin() + static_cast<std::ptrdiff_t>(first_swap), steps.end());
        release_search();
        for (std::uint32_t g : gates) steps.push_back({false, g, 0});
    }

    void release_search() {
        visited_.clear();
        nodes_.clear();
    }

    std::vector<std::uint32_t> begin_gates_;
    std::vector<Slice> slices_;
    std::vector<Interaction> gate_lists_;
    std::uint32_t nbqbits_;
    bool use_sum_heuristic_;
    QubitGraph graph_;
    std::unordered_set<const std::vector<std::uint32_t>*, OrderHash, OrderEqual> visited_;

    bool graph_defined_ = false;
    std::uint32_t nbphysical_ = 0;
    std::vector<std::uint32_t> distances_;      // graph_'s all-pairs table, row-major
    std::vector<std::unique_ptr<Node>> nodes_;  // every node of the current slice's search
    std::unique_ptr<Node> spare_;               // candidate child, reused while it is a duplicate
    std::vector<std::uint32_t> inverse_;        // physical -> logical, scratch of add_children
    std::size_t node_limit_ = 0;
    std::size_t max_expanded_ = 0;
    std::size_t split_searches_ = 0;
};

}  // namespace couplize
