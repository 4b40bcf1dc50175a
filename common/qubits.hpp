#pragma once
#include <cstdint>

namespace couplize {

// Qubit indices of the two spaces a router works in: the hardware's physical qubits and the
// circuit's logical qubits. They are distinct types, so a layout indexed by one kind cannot be
// read with the other by mistake; `index` turns either back into an array index, and
// `Physical{i}` / `Logical{i}` make one from an integer. Zero cost at run time.
enum class Physical : std::uint32_t {};
enum class Logical : std::uint32_t {};

constexpr std::uint32_t index(Physical p) noexcept { return static_cast<std::uint32_t>(p); }
constexpr std::uint32_t index(Logical q) noexcept { return static_cast<std::uint32_t>(q); }

}  // namespace couplize
