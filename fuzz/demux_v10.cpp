// Fuzz target of the V10 parser: opened on the input's own start (the
// variant's name block, if any), then fed in blocks of a size the first byte
// picks; every frame's bytes and OSD items are read and its record checked.
#include "demux/streams.h"
#include "demux_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    demuxfuzz::RunOnOwnStart(CreateStreamV10, data, size);
    return 0;
}
