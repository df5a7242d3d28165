#include "api/ansipath.h"

#include <cstring>
#include <new>

#include "qvplay.h"

namespace api {

int32_t AnsiPathToWide(const char *szPath, platform::WString &out) {
    out.clear();
    if (szPath == nullptr)
        return PLAY_E_INVALID_VALUE;
    try {
        if (!platform::AnsiToWide(std::string_view(szPath, std::strlen(szPath)), out))
            return PLAY_E_INVALID_VALUE;
    } catch (const std::bad_alloc &) {
        return PLAY_E_OUT_OF_MEMORY;
    }
    return PLAY_OK;
}

} // namespace api
