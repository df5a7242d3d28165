// Fuzz target of the 15-generation parser: opened on the input's own start
// (the 64-byte file header), then fed in blocks of a size the first byte
// picks; every frame's bytes are read and its record checked.
#include "demux/streams.h"
#include "demux_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    demuxfuzz::RunOnOwnStart(CreateStream15, data, size);
    return 0;
}
