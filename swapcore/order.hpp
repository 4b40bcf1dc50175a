#pragma once
#include <cstdint>
#include <numeric>
#include <utility>
#include <vector>

namespace couplize {

// Two-way permutation between logical and physical qubits; both lookups are one array access.
// Invariant: physical_qubits_[logical_qubits_[p]] == p for every p. Indices are not checked.
class Order {
public:
    Order() = default;
    explicit Order(std::uint32_t n) { resize(n); }

    // Sets the size and the identity; any earlier placement is lost.
    void resize(std::uint32_t n) {
        nbqubits_ = n;
        physical_qubits_.resize(n);
        logical_qubits_.resize(n);
        reset();
    }

    void reset() {
        std::iota(physical_qubits_.begin(), physical_qubits_.end(), 0u);
        std::iota(logical_qubits_.begin(), logical_qubits_.end(), 0u);
    }

    std::uint32_t size() const { return nbqubits_; }

    // For each physical qubit, the logical qubit it holds.
    std::vector<std::uint32_t> get() const { return logical_qubits_; }
    const std::vector<std::uint32_t>& logical_qubits() const { return logical_qubits_; }
    const std::vector<std::uint32_t>& physical_qubits() const { return physical_qubits_; }

    std::uint32_t get_logical_qubit(std::uint32_t p) const { return logical_qubits_[p]; }
    std::uint32_t get_physical_qubit(std::uint32_t q) const { return physical_qubits_[q]; }

    // Records a SWAP gate between two physical qubits.
    void insert_physical_swap(std::uint32_t p1, std::uint32_t p2) {
        const std::uint32_t a = logical_qubits_[p1];
        const std::uint32_t b = logical_qubits_[p2];
        std::swap(logical_qubits_[p1], logical_qubits_[p2]);
        std::swap(physical_qubits_[a], physical_qubits_[b]);
    }

    bool operator==(const Order&) const = default;

private:
    std::uint32_t nbqubits_ = 0;
    std::vector<std::uint32_t> physical_qubits_;  // by logical qubit
    std::vector<std::uint32_t> logical_qubits_;   // by physical qubit
};

}  // namespace couplize
