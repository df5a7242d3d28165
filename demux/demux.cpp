// Checked entry points of the parsers and the factory that recognises the
// container generation.
#include "demux/demux.h"

#include <new>

#include "demux/basestream.h"
#include "demux/streams.h"

namespace {

using CreateFunction = CBaseStream *(*)();

// Tried in this order; the first whose Open accepts the block wins. Newer
// generations first: their magic is the most specific.
const CreateFunction kFactory[] = {
    CreateStreamV30, CreateStreamV20, CreateStream6000, CreateStream15, CreateStreamV10,
};

} // namespace

int32_t Demux_Create(CBaseStream **ppStream, const DemuxInput *pInput) {
    if (!ppStream || !pInput)
        return DEMUX_E_NULL_POINTER;
    if (pInput->dwSize != DEMUX_INPUT_SIZE)
        return DEMUX_E_BAD_SIZE;
    if (pInput->dwLength < DEMUX_MIN_FIRST_BLOCK || pInput->dwLength > DEMUX_MAX_INPUT_LENGTH)
        return DEMUX_E_INVALID_VALUE;
    if (!pInput->pData)
        return DEMUX_E_NULL_POINTER;
    try {
        int32_t result = DEMUX_E_NOT_SUPPORTED;
        for (CreateFunction create : kFactory) {
            CBaseStream *stream = create();
            if (!stream) {
                result = DEMUX_E_FAIL;
                continue;
            }
            result = stream->Open(pInput->pData, pInput->dwLength);
            if (result >= 0) {
                *ppStream = stream;
                return result;
            }
            delete stream;
        }
        return result;
    } catch (...) {
        return DEMUX_E_FAIL;
    }
}

int32_t Demux_GetInfo(CBaseStream *pStream, StreamInfo *pInfo) {
    if (!pStream)
        return DEMUX_E_INVALID_OBJECT;
    if (!pInfo)
        return DEMUX_E_NULL_POINTER;
    if (pInfo->dwSize != DEMUX_STREAM_INFO_SIZE)
        return DEMUX_E_BAD_SIZE;
    return pStream->GetInfo(pInfo);
}

int32_t Demux_InputData(CBaseStream *pStream, const DemuxInput *pInput) {
    if (!pStream)
        return DEMUX_E_INVALID_OBJECT;
    if (!pInput)
        return DEMUX_E_NULL_POINTER;
    if (pInput->dwSize != DEMUX_INPUT_SIZE)
        return DEMUX_E_BAD_SIZE;
    if (!pInput->pData)
        return DEMUX_E_NULL_POINTER;
    if (pInput->dwLength == 0)
        return DEMUX_E_INVALID_VALUE;
    try {
        return pStream->InputData(pInput);
    } catch (...) {
        return DEMUX_E_FAIL;
    }
}

int32_t Demux_GetFrame(CBaseStream *pStream, FrameRecord **ppFrame) {
    if (!pStream)
        return DEMUX_E_INVALID_OBJECT;
    if (!ppFrame)
        return DEMUX_E_NULL_POINTER;
    return pStream->GetFrame(ppFrame);
}

int32_t Demux_FreeFrame(CBaseStream *pStream, FrameRecord *pFrame) {
    if (!pStream)
        return DEMUX_E_INVALID_OBJECT;
    if (!pFrame)
        return DEMUX_E_NULL_POINTER;
    if (pFrame->dwSize != DEMUX_FRAME_RECORD_SIZE)
        return DEMUX_E_BAD_SIZE;
    return pStream->FreeFrame(pFrame);
}

int32_t Demux_GetFrameCount(CBaseStream *pStream, uint32_t *pCount) {
    if (!pStream)
        return DEMUX_E_INVALID_OBJECT;
    if (!pCount)
        return DEMUX_E_NULL_POINTER;
    return pStream->GetFrameCount(pCount);
}

void Demux_Destroy(CBaseStream *pStream) {
    delete pStream;
}
