#pragma once
// The interpreter's run-time flags the bindings follow.
#include <nanobind/nanobind.h>

namespace couplize::py {

// Whether Python runs with assertions on (not under -O): argument checks that the original
// code wrote as `assert` raise AssertionError then, and TypeError otherwise.
inline bool assertions_enabled() {
    namespace nb = nanobind;
    return nb::cast<long>(nb::module_::import_("sys").attr("flags").attr("optimize")) == 0;
}

}  // namespace couplize::py
