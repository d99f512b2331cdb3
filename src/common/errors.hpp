// Failure types shared by the kernel and the module boundary.
//
// The kernel reports user-facing validation failures as `ValueError` and broken internal
// invariants as `Panic`; allocation failures surface as std::bad_alloc. The module layer
// translates all three into Python exceptions in one place.
#pragma once

#include <stdexcept>
#include <string>

namespace korvanta {

/// A rejected argument; becomes Python's ValueError with this exact message.
struct ValueError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

/// A violated internal invariant; becomes PanicException with this message.
struct Panic : std::logic_error {
    using std::logic_error::logic_error;
};

/// Throws Panic with `what` unless `condition` holds.
inline void require(bool condition, const char* what) {
    if (!condition) throw Panic(what);
}

}  // namespace korvanta
