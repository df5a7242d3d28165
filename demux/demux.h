// Flat, checked entry points through which the play modes reach a container
// parser. Each checks the parser, then every pointer, then record sizes, then
// values, and only then calls the parser. Nothing throws.
#pragma once

#include <cstdint>

#include <qvdemux.h>

class CBaseStream; // demux/basestream.h

// The input record for a block of bytes.
inline DemuxInput DemuxInputOf(const uint8_t *pData, uint32_t dwLength) {
    DemuxInput input{};
    input.dwSize = DEMUX_INPUT_SIZE;
    input.dwLength = dwLength;
    input.pData = pData;
    return input;
}

// Recognises the container generation from the first block (64 bytes to
// 16 MiB) and creates its parser, trying V30, V20, 6000, 15 and V10 in turn.
int32_t Demux_Create(CBaseStream **ppStream, const DemuxInput *pInput);
int32_t Demux_GetInfo(CBaseStream *pStream, StreamInfo *pInfo);
int32_t Demux_InputData(CBaseStream *pStream, const DemuxInput *pInput);
int32_t Demux_GetFrame(CBaseStream *pStream, FrameRecord **ppFrame);
int32_t Demux_FreeFrame(CBaseStream *pStream, FrameRecord *pFrame);
int32_t Demux_GetFrameCount(CBaseStream *pStream, uint32_t *pCount);
// Deletes the parser; null is fine.
void Demux_Destroy(CBaseStream *pStream);
