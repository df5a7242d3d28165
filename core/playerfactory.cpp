// Class choice of Play_CreateW.
#include "core/playerfactory.h"

#include <memory>

#include "core/baseplaymode.h"
#include "core/filemode.h"
#include "core/filemode6000.h"
#include "core/streammode.h"

namespace {

int32_t OpenPlayer(std::unique_ptr<CBasePlayMode> pPlayer, const PLAY_CREATE_PARAM *pParam,
                   CBasePlayMode **ppPlayer) {
    const int32_t nResult = pPlayer->Open(pParam);
    if (nResult < 0)
        return nResult; // the player is destroyed on the way out
    *ppPlayer = pPlayer.release();
    return nResult;
}

} // namespace

int32_t CreatePlayer(const PLAY_CREATE_PARAM *pParam, CBasePlayMode **ppPlayer) {
    *ppPlayer = nullptr;
    switch (pParam->dwType) {
    case PLAY_MODE_FILE: {
        if (pParam->pSource == nullptr)
            return PLAY_E_NULL_POINTER;
        const int32_t nResult = OpenPlayer(std::make_unique<CFileMode>(), pParam, ppPlayer);
        // The 6000 generation is refused by the general file player and has
        // a player of its own.
        if (nResult != PLAY_E_NOT_SUPPORTED)
            return nResult;
        return OpenPlayer(std::make_unique<CFileMode6000>(), pParam, ppPlayer);
    }
    case PLAY_MODE_STREAM:
        if (pParam->pSource == nullptr)
            return PLAY_E_NULL_POINTER;
        if (pParam->dwSourceSize < PLAY_STREAM_HEADER_MIN || pParam->dwSourceSize > PLAY_STREAM_HEADER_MAX)
            return PLAY_E_INVALID_VALUE;
        return OpenPlayer(std::make_unique<CStreamMode>(), pParam, ppPlayer);
    default:
        return PLAY_E_INVALID_VALUE;
    }
}
