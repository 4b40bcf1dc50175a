#pragma once
#include <cstdint>
#include <utility>
#include <vector>

namespace couplize {

// Qubit indices of one operation.
using Interaction = std::vector<std::uint32_t>;
// (flag, qubits). In the path finder a true flag marks an operation of the input circuit and a
// false flag an inserted SWAP; swap synthesis uses the flag to mark REMAP entries.
using Gate = std::pair<bool, Interaction>;
using GateList = std::vector<Gate>;

}  // namespace couplize
