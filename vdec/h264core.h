// The H.264 decoding core: three entries over FFmpeg's libavcodec. Input is
// an Annex B byte stream in pieces of any size; output is one 8-bit 4:2:0
// picture per call at the coded size (1088 rows for a 1080-line stream), in
// display order. One instance is used by one thread at a time.
#pragma once

#include <cstdint>

#include <qvvdec.h>

// An instance; null when none.
using H264CoreHandle = void *;

// Creates an instance for pictures up to the size in the record (out-of-range
// sizes mean 1920 x 1088); H264_CORE_OPT_MULTITHREAD decodes with
// H264_CORE_WORKER_THREADS threads. Null for a null record, when memory runs
// out or when the decoder cannot be set up.
H264CoreHandle H264Core_Create(const H264CoreParam *param);

// Takes length bytes of the stream (data may be null when length is 0) and
// returns H264_CORE_OK with the next picture in *picture, H264_CORE_NO_PICTURE
// when none is ready or nothing is left to drain, H264_CORE_E_NULL for a null
// instance or picture. With H264_CORE_DECODE_END_OF_STREAM in flags the data
// held back (the last NAL unit, the pictures waiting for reordering) is
// flushed; call again until H264_CORE_NO_PICTURE to take them all. The planes
// stay valid until the next call on the instance. user travels with the
// access units of the data (an access unit cut by the parser takes the value
// of the call its first bytes came with) and comes back in picture->info
// with the picture decoded from them, together with its display window.
int32_t H264Core_Decode(H264CoreHandle core, const uint8_t *data, uint32_t length, uint64_t user,
                        H264CorePicture *picture, uint32_t flags);

// Stops the decoding threads and frees the instance; null is ignored.
void H264Core_Destroy(H264CoreHandle core);
