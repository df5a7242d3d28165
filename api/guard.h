// Every exported function catches at its boundary: nothing thrown inside may
// cross the C interface.
#pragma once

#include <cstdint>
#include <new>

#include "qvplay.h"

namespace api {

// Families that answer with result codes: an allocation failure becomes
// PLAY_E_OUT_OF_MEMORY and anything else PLAY_E_FAIL.
template <class F> int32_t GuardedCode(F &&body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc &) {
        return PLAY_E_OUT_OF_MEMORY;
    } catch (...) {
        return PLAY_E_FAIL;
    }
}

// Families that answer with a value: anything thrown gives their failure
// value.
template <class R, class F> R GuardedValue(R failure, F &&body) noexcept {
    try {
        return body();
    } catch (...) {
        return failure;
    }
}

} // namespace api
