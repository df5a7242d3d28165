// Parsers with the on-screen display switched off (the file index reads
// that way): the same frames, positions and payloads, and no OSD items.
#include "demux_test_util.h"
#include "fixtures/fixturev10.h"

namespace {

using namespace demuxtest;

std::vector<Parsed> ParseAll(const std::vector<uint8_t> &bytes, bool osd) {
    DemuxInput first{};
    first.dwSize = DEMUX_INPUT_SIZE;
    first.dwLength = uint32_t(std::min<size_t>(bytes.size(), 0x40000));
    first.pData = bytes.data();
    CBaseStream *stream = nullptr;
    EXPECT_GE(Demux_Create(&stream, &first), 0);
    if (stream == nullptr)
        return {};
    stream->SetOsdEnabled(osd);
    std::vector<Parsed> out = FeedAll(stream, bytes, 0x10000);
    Demux_Destroy(stream);
    return out;
}

struct Recording {
    const char *name;
    std::vector<uint8_t> bytes;
};

TEST(OsdSwitch, OffKeepsEveryFrameAndDropsOnlyTheItems) {
    V30Options v30;
    v30.dwVideoFrames = 60;
    v30.bOsdOnEveryFrame = true;
    V20Options v20;
    v20.dwVideoFrames = 60;
    V10Options v10;
    v10.dwVideoFrames = 60;
    const Recording recordings[] = {
        {"V30", WriteV30(v30, nullptr)},
        {"V20", WriteV20(v20, nullptr)},
        {"V10", WriteV10(v10, nullptr)},
    };
    for (const Recording &r : recordings) {
        const std::vector<Parsed> with = ParseAll(r.bytes, true);
        const std::vector<Parsed> without = ParseAll(r.bytes, false);
        ASSERT_GT(with.size(), 100u) << r.name;
        ASSERT_EQ(with.size(), without.size()) << r.name;
        size_t itemsWith = 0;
        for (size_t i = 0; i < with.size(); ++i) {
            const FrameRecord &a = with[i].rec;
            const FrameRecord &b = without[i].rec;
            EXPECT_EQ(a.nType, b.nType) << r.name << " frame " << i;
            EXPECT_EQ(a.ullFileOffset, b.ullFileOffset) << r.name << " frame " << i;
            EXPECT_EQ(a.dwSequence, b.dwSequence) << r.name << " frame " << i;
            EXPECT_EQ(a.dwTimestamp, b.dwTimestamp) << r.name << " frame " << i;
            EXPECT_EQ(0, std::memcmp(&a.stTime, &b.stTime, sizeof a.stTime)) << r.name << " frame " << i;
            EXPECT_EQ(with[i].payload, without[i].payload) << r.name << " frame " << i;
            EXPECT_EQ(b.byOsdCount, 0u) << r.name << " frame " << i;
            EXPECT_EQ(b.pOsdItems, nullptr) << r.name << " frame " << i;
            itemsWith += with[i].osd.size();
        }
        // The recordings do carry a display: switching it off is what differs.
        EXPECT_GT(itemsWith, 0u) << r.name;
    }
}

} // namespace
