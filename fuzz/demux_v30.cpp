// The V30 parser on arbitrary bytes: frames, checksums, OSD record walks.
// Input: a block-size byte, a reset byte, then the stream.
#include "demux/streams.h"
#include "demux_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    demuxfuzz::Run(CreateStreamV30, "ZEMASTREAMV30", data, size);
    return 0;
}
