// The core API. Every exported function catches at its boundary: nothing
// thrown inside may cross the C interface, an allocation failure becomes
// PLAY_E_OUT_OF_MEMORY and anything else PLAY_E_FAIL.
#include <new>

#include "qvplay.h"

namespace {

template <class F> int32_t Guarded(F &&body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc &) {
        return PLAY_E_OUT_OF_MEMORY;
    } catch (...) {
        return PLAY_E_FAIL;
    }
}

} // namespace

QV_EXTERN_C int32_t QV_CALL Play_GetVersion(PLAY_VERSION *pVersion) {
    return Guarded([&]() -> int32_t {
        if (pVersion == nullptr) {
            return PLAY_E_NULL_POINTER;
        }
        pVersion->dwVersion = PLAY_VERSION_NUMBER;
        pVersion->dwBuild = PLAY_VERSION_BUILD;
        return PLAY_OK;
    });
}
