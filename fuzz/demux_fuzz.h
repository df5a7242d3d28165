// Shared by the parser fuzz targets: feed bytes in blocks, pull every frame,
// read every byte it points at (so that the sanitizers see any block that is
// too short) and check the record's invariants.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "demux/basestream.h"
#include "demux/demux.h"

namespace demuxfuzz {

inline void Check(bool condition) {
    if (!condition)
        std::abort();
}

inline void Touch(const FrameRecord *f) {
    volatile uint32_t sum = 0;
    Check(f->dwSize == DEMUX_FRAME_RECORD_SIZE);
    Check(f->dwReserved[0] == 0 && f->dwReserved[1] == 0 && f->wReserved == 0);
    Check(f->dwPayloadLength != 0 || f->dwHeaderLength != 0);
    for (uint32_t i = 0; i < f->dwHeaderLength; ++i)
        sum = sum + f->pHeader[i];
    for (uint32_t i = 0; i < f->dwPayloadLength; ++i)
        sum = sum + f->pPayload[i];
    Check((f->byOsdCount == 0) == (f->pOsdItems == nullptr));
    for (unsigned k = 0; k < f->byOsdCount; ++k) {
        const OsdItem &item = f->pOsdItems[k];
        Check(item.dwKind >= DEMUX_OSD_TEXT && item.dwKind <= DEMUX_OSD_MOSAIC);
        if (item.dwKind == DEMUX_OSD_TEXT) {
            // NUL-terminated within the text limit.
            bool terminated = false;
            for (unsigned i = 0; i < DEMUX_OSD_TEXT_MAX && !terminated; ++i)
                terminated = item.body.szText[i] == 0;
            Check(terminated);
        }
        const auto *bytes = reinterpret_cast<const uint8_t *>(&item);
        for (size_t i = 0; i < sizeof item; ++i)
            sum = sum + bytes[i];
    }
    if (f->nType == DEMUX_FRAME_AUDIO)
        Check(f->byOsdCount == 0 && f->ullFileOffset == 0);
}

inline void Drain(CBaseStream *stream) {
    FrameRecord *f = nullptr;
    while (Demux_GetFrame(stream, &f) == DEMUX_OK) {
        Touch(f);
        Check(Demux_FreeFrame(stream, f) == DEMUX_OK);
    }
}

// Feeds data in blocks of blockSize (at least 1), draining as it goes.
inline void Feed(CBaseStream *stream, const uint8_t *data, size_t size, size_t blockSize) {
    for (size_t at = 0; at < size;) {
        const size_t n = size - at < blockSize ? size - at : blockSize;
        DemuxInput in{DEMUX_INPUT_SIZE, uint32_t(n), data + at, 0};
        int32_t r = Demux_InputData(stream, &in);
        if (r == DEMUX_E_QUEUE_FULL) {
            Drain(stream);
            r = Demux_InputData(stream, &in);
        }
        Check(r == DEMUX_OK);
        at += n;
        uint32_t count = 0;
        Check(Demux_GetFrameCount(stream, &count) == DEMUX_OK);
        if (count > 100)
            Drain(stream);
    }
    Drain(stream);
}

// One parser of a given creation function through the input: the first
// byte picks the block size, the rest is the stream; halfway the parser is
// reset once when the second byte asks for it.
inline void Run(CBaseStream *(*create)(), const char *firstBlock, const uint8_t *data, size_t size) {
    if (size < 2)
        return;
    static const size_t kBlocks[] = {1, 7, 64, 509, 4096, 65536, 1 << 20};
    const size_t block = kBlocks[data[0] % (sizeof kBlocks / sizeof kBlocks[0])];
    const bool reset = (data[1] & 1) != 0;
    data += 2;
    size -= 2;
    CBaseStream *stream = create();
    Check(stream != nullptr);
    // Opened with a block that names the container, whatever the input.
    Check(stream->Open(reinterpret_cast<const uint8_t *>(firstBlock),
                       uint32_t(__builtin_strlen(firstBlock))) == DEMUX_OK);
    const size_t half = reset ? size / 2 : size;
    Feed(stream, data, half, block);
    if (reset) {
        Check(stream->Reset() == DEMUX_OK);
        Feed(stream, data + half, size - half, block);
    }
    Demux_Destroy(stream);
}

// A parser opened on the input's own start (its first 0x40000 bytes, as a
// file play mode does), then fed the rest in exact-size copies so that the
// sanitizers see any read past a block. The first byte picks the block size;
// byte by byte only for small inputs (every byte rescans the buffer).
inline void RunOnOwnStart(CBaseStream *(*create)(), const uint8_t *data, size_t size) {
    if (size < 1 || size > (1u << 20))
        return;
    const size_t blockSize = data[0] == 0 && size <= 1024 ? 1 : size_t(data[0]) * 97 + 16;
    ++data;
    --size;
    CBaseStream *stream = create();
    if (!stream)
        return;
    {
        const std::vector<uint8_t> first(data, data + (size < 0x40000 ? size : 0x40000));
        // Parsing works whether or not Open recognised the start.
        stream->Open(first.data(), uint32_t(first.size()));
    }
    for (size_t at = 0; at < size; at += blockSize) {
        const size_t n = size - at < blockSize ? size - at : blockSize;
        const std::vector<uint8_t> block(data + at, data + at + n);
        DemuxInput input{DEMUX_INPUT_SIZE, uint32_t(n), block.data(), 0};
        if (Demux_InputData(stream, &input) == DEMUX_E_QUEUE_FULL) {
            Drain(stream);
            Check(Demux_InputData(stream, &input) == DEMUX_OK);
        }
        Drain(stream);
    }
    Check(stream->Close() == DEMUX_OK);
    Demux_Destroy(stream);
}

} // namespace demuxfuzz
