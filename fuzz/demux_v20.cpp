// The V20 parser on arbitrary bytes: frame chaining, OSD record walks, clock
// texts. Input: a block-size byte, a reset byte, then the stream.
#include "demux/streams.h"
#include "demux_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    demuxfuzz::Run(CreateStreamV20, "ZEMA5RM ", data, size);
    return 0;
}
