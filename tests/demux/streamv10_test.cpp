// V10 parser: bit-packed headers, the four variants, codec and size tables,
// OSD modes with text, clock and bitmap items, and damaged data.
#include <gtest/gtest.h>

#include <cstring>

#include "demux/fonts.h"
#include "demux/streams.h"
#include "demux/streamv10.h"
#include "fixtures/fixturev10.h"
#include "generation_helpers.h"

using namespace generations;

namespace {

const size_t kBlockSizes[] = {1, 4097, 256 * 1024, size_t(-1)};
const char *const kNames[5] = {"", "ZEMADRX ", "ZEMADRXH", "ZEMAIPCA", "ZEMADRTX"};

StreamInfo InfoOf(CBaseStream *stream) {
    StreamInfo info{};
    info.dwSize = DEMUX_STREAM_INFO_SIZE;
    EXPECT_EQ(Demux_GetInfo(stream, &info), DEMUX_OK);
    return info;
}

std::vector<ParsedFrame> ParseAll(const std::vector<uint8_t> &file, size_t blockSize = size_t(-1)) {
    int32_t result = 0;
    StreamPtr stream = Open(file, &result);
    EXPECT_EQ(result, DEMUX_OK);
    if (!stream)
        return {};
    EXPECT_EQ(InfoOf(stream.get()).dwGeneration, uint32_t(DEMUX_GENERATION_V10));
    return Feed(stream.get(), file, blockSize == size_t(-1) ? file.size() : blockSize);
}

// A small I frame of the given size with a dummy payload.
V10FrameFields Video(uint16_t width = 704, uint16_t height = 576) {
    V10FrameFields def;
    def.wWidth = width;
    def.wHeight = height;
    def.dwTimestamp = 5000;
    def.dwSequence = 77;
    def.payload = {0, 0, 0, 1, 0x65, 0x88, 0x84, 0x00};
    return def;
}

// Name block, the chunks, and a closing tag.
std::vector<uint8_t> File(const std::vector<V10FrameFields> &chunks, uint32_t variant = 1,
                          std::vector<uint64_t> *offsets = nullptr) {
    std::vector<uint8_t> file = V10NameBlock(variant);
    for (const V10FrameFields &chunk : chunks) {
        if (offsets)
            offsets->push_back(file.size());
        AppendV10Chunk(file, chunk);
    }
    file.insert(file.end(), {'0', '0', 'd', 'c', 0, 0, 0, 0});
    return file;
}

std::string ClockText(const FixtureFrame &frame) {
    const SYSTEMTIME &t = frame.stTime;
    char text[64];
    std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u", t.wYear, t.wMonth, t.wDay, t.wHour,
                  t.wMinute, t.wSecond);
    return text;
}

// Items as (kind, x, y, text) for table comparisons.
struct ItemView {
    uint32_t dwKind;
    uint16_t wX, wY;
    std::string text;
    bool operator==(const ItemView &) const = default;
};

std::ostream &operator<<(std::ostream &os, const ItemView &v) {
    return os << "{" << v.dwKind << " (" << v.wX << "," << v.wY << ") '" << v.text << "'}";
}

std::vector<ItemView> Items(const ParsedFrame &frame) {
    std::vector<ItemView> views;
    for (const OsdItem &item : frame.osd)
        views.push_back({item.dwKind, item.wX, item.wY,
                         item.dwKind == DEMUX_OSD_TEXT ? Utf8(item.body.szText) : std::string()});
    return views;
}

TEST(StreamV10, RoundTripOfEveryVariant) {
    for (uint32_t variant = 1; variant <= 4; ++variant) {
        SCOPED_TRACE("variant " + std::to_string(variant));
        V10Options options;
        options.dwVariant = variant;
        options.dwVideoFrames = variant == 1 ? 0 : 8; // the whole clip once, short files for the others
        std::vector<FixtureFrame> written;
        const std::vector<uint8_t> file = WriteV10(options, &written);
        ASSERT_FALSE(file.empty());
        for (size_t blockSize : kBlockSizes) {
            SCOPED_TRACE("block size " + std::to_string(blockSize));
            int32_t result = 0;
            StreamPtr stream = Open(file, &result);
            ASSERT_EQ(result, DEMUX_OK);
            const StreamInfo info = InfoOf(stream.get());
            EXPECT_EQ(info.dwGeneration, uint32_t(DEMUX_GENERATION_V10));
            EXPECT_STREQ(info.szName, kNames[variant]);
            const std::vector<ParsedFrame> frames =
                Feed(stream.get(), file, blockSize == size_t(-1) ? file.size() : blockSize);
            ExpectFrames(written, frames, file);
            ASSERT_EQ(frames.size(), written.size());
            for (size_t i = 0; i < frames.size(); ++i) {
                if (frames[i].record.nType == DEMUX_FRAME_AUDIO) {
                    EXPECT_EQ(frames[i].record.byOsdCount, 0);
                    EXPECT_EQ(frames[i].record.dwCodec, uint32_t(DEMUX_CODEC_G711_ALAW));
                    continue;
                }
                EXPECT_EQ(frames[i].record.dwCodec, variant == 4 ? 5u : 3u);
                const std::vector<ItemView> expected = {{DEMUX_OSD_TEXT, 400, 32, ClockText(written[i])},
                                                        {DEMUX_OSD_TEXT, 16, 32, "Camera 01"}};
                EXPECT_EQ(Items(frames[i]), expected) << "frame " << i;
            }
        }
    }
}

TEST(StreamV10, VariantFromTheName) {
    struct Case {
        std::vector<const char *> strings;
        uint32_t dwVariant; // 0: refused
    };
    const Case kCases[] = {
        {{"ZEMADRX "}, 1},
        {{"APIS"}, 1},
        {{"ZEMADRXH"}, 2},
        {{"ZEMAIPCA"}, 3},
        {{"ZEMADRTX"}, 4},
        {{"ZEMADRX ", "ZEMADRTX"}, 4},
        {{"ZEMADRXH", "ZEMAIPCA"}, 3},
        {{"ZEMADRX ", "ZEMADRXH"}, 2},
        {{"ZEMADRX"}, 0},
        {{"ZEMA"}, 0},
    };
    for (const Case &c : kCases) {
        std::vector<uint8_t> block(128, '.');
        size_t at = 10;
        for (const char *s : c.strings) {
            std::memcpy(&block[at], s, std::strlen(s));
            at += 40;
        }
        CBaseStream *stream = CreateStreamV10();
        ASSERT_NE(stream, nullptr);
        const int32_t result = stream->Open(block.data(), uint32_t(block.size()));
        EXPECT_EQ(result, c.dwVariant ? DEMUX_OK : DEMUX_E_NOT_SUPPORTED) << c.strings[0];
        if (c.dwVariant) {
            StreamInfo info{};
            stream->GetInfo(&info);
            EXPECT_STREQ(info.szName, kNames[c.dwVariant]) << c.strings[0];
            EXPECT_EQ(info.dwSize, DEMUX_STREAM_INFO_SIZE);
        }
        Demux_Destroy(stream);
    }
}

TEST(StreamV10, VariantFromTheCodecBits) {
    struct Case {
        uint8_t byFamily, byVariant;
        uint32_t dwVariant; // 0: refused
        uint32_t dwCodec;
    };
    static const Case kCases[] = {
        {3, 2, 4, 5}, {3, 1, 3, 4}, {3, 0, 2, 3}, {1, 2, 1, 1}, {2, 2, 1, 2},
        {2, 1, 0, 0}, {1, 0, 0, 0}, {0, 2, 0, 0}, {2, 3, 0, 0},
    };
    for (const Case &c : kCases) {
        V10FrameFields def = Video();
        def.byFamily = c.byFamily;
        def.byVariant = c.byVariant;
        std::vector<uint8_t> file;
        file.insert(file.end(), 20, 0x11); // some bytes before the first chunk
        AppendV10Chunk(file, def);
        file.insert(file.end(), {'0', '0', 'd', 'b', 0, 0, 0, 0});
        file.resize(std::max<size_t>(file.size(), 64), 0);
        int32_t result = 0;
        StreamPtr stream = Open(file, &result);
        if (c.dwVariant == 0) {
            EXPECT_EQ(result, DEMUX_E_NOT_SUPPORTED) << int(c.byFamily) << int(c.byVariant);
            continue;
        }
        ASSERT_EQ(result, DEMUX_OK);
        EXPECT_STREQ(InfoOf(stream.get()).szName, kNames[c.dwVariant]);
        const std::vector<ParsedFrame> frames = Feed(stream.get(), file, file.size());
        ASSERT_EQ(frames.size(), 1u);
        EXPECT_EQ(frames[0].record.dwCodec, c.dwCodec);
        EXPECT_EQ(frames[0].record.ullFileOffset, 20u);
    }
    // Fewer than 32 bytes are not scanned.
    std::vector<uint8_t> small;
    AppendV10Chunk(small, Video());
    small.resize(31);
    CBaseStream *stream = CreateStreamV10();
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(stream->Open(small.data(), uint32_t(small.size())), DEMUX_E_NOT_SUPPORTED);
    small.push_back(0);
    EXPECT_EQ(stream->Open(small.data(), uint32_t(small.size())), DEMUX_OK);
    Demux_Destroy(stream);
}

TEST(StreamV10, CodecTables) {
    struct VideoCase {
        uint8_t byFamily, byVariant;
        uint32_t dwStreamVariant;
        uint32_t dwCodec;
    };
    static const VideoCase kVideo[] = {
        {3, 2, 1, 5}, {3, 1, 1, 4}, {3, 0, 1, 3}, {3, 0, 2, 3}, {3, 0, 3, 3}, {3, 0, 4, 5}, {3, 2, 4, 5},
        {3, 1, 4, 4}, {2, 2, 1, 2}, {1, 2, 1, 1}, {3, 3, 1, 0}, {2, 0, 1, 0}, {1, 1, 1, 0}, {0, 0, 1, 0},
    };
    for (const VideoCase &c : kVideo) {
        V10FrameFields def = Video();
        def.byFamily = c.byFamily;
        def.byVariant = c.byVariant;
        const std::vector<uint8_t> file = File({def}, c.dwStreamVariant);
        const std::vector<ParsedFrame> frames = ParseAll(file);
        ASSERT_EQ(frames.size(), 1u);
        EXPECT_EQ(frames[0].record.dwCodec, c.dwCodec)
            << int(c.byFamily) << "/" << int(c.byVariant) << " in variant " << c.dwStreamVariant;
    }
    struct AudioCase {
        uint8_t byFamily, byVariant;
        uint32_t dwCodec;
    };
    static const AudioCase kAudio[] = {
        {1, 1, DEMUX_CODEC_G722},
        {1, 2, DEMUX_CODEC_G711_ALAW},
        {1, 3, DEMUX_CODEC_G726},
        {3, 1, DEMUX_CODEC_G711_ALAW},
        {1, 0, 0},
        {1, 4, 0},
        {2, 1, 0},
        {3, 2, 0},
        {15, 15, 0},
    };
    for (const AudioCase &c : kAudio) {
        V10FrameFields def;
        def.bAudio = true;
        def.byFamily = c.byFamily;
        def.byVariant = c.byVariant;
        def.payload.assign(40, 0xD5);
        const std::vector<uint8_t> file = File({def});
        const std::vector<ParsedFrame> frames = ParseAll(file);
        ASSERT_EQ(frames.size(), 1u);
        EXPECT_EQ(frames[0].record.nType, DEMUX_FRAME_AUDIO);
        EXPECT_EQ(frames[0].record.dwCodec, c.dwCodec) << int(c.byFamily) << "/" << int(c.byVariant);
        EXPECT_EQ(frames[0].record.dwHeaderLength, 12u);
        EXPECT_EQ(frames[0].record.ullFileOffset, 0u);
        EXPECT_EQ(frames[0].payload, def.payload);
    }
}

TEST(StreamV10, PictureSizes) {
    struct Case {
        uint16_t wWidth, wHeight;
        bool bValid;
        uint16_t wOutWidth, wOutHeight;
    };
    static const Case kCases[] = {
        {1920, 1088, true, 1920, 1080}, {1920, 1072, true, 1920, 1080}, {1920, 1056, true, 1920, 1072},
        {176, 128, true, 176, 120},     {352, 576, true, 704, 288},     {352, 480, true, 704, 240},
        {704, 576, true, 704, 576},     {352, 288, true, 352, 288},     {1920, 1280, true, 1920, 1280},
        {160, 128, false, 0, 0},        {176, 1296, false, 0, 0},       {1280, 4080, false, 0, 0},
        {4080, 16, true, 4080, 16},
    };
    for (const Case &c : kCases) {
        V10FrameFields def = Video(c.wWidth, c.wHeight);
        const std::vector<uint8_t> file = File({def});
        const std::vector<ParsedFrame> frames = ParseAll(file);
        ASSERT_EQ(frames.size(), c.bValid ? 1u : 0u) << c.wWidth << "x" << c.wHeight;
        if (c.bValid) {
            EXPECT_EQ(frames[0].record.wWidth, c.wOutWidth) << c.wWidth << "x" << c.wHeight;
            EXPECT_EQ(frames[0].record.wHeight, c.wOutHeight) << c.wWidth << "x" << c.wHeight;
        }
    }
}

TEST(StreamV10, HeaderFieldsAndKinds) {
    struct Case {
        uint8_t byKind;
        uint8_t byExtension;
        uint32_t dwGap;
        int32_t nType;
        bool bDelivered;
    };
    static const Case kCases[] = {
        {0, 0, 0, DEMUX_FRAME_I, true},           {1, 0, 0, DEMUX_FRAME_P, true},
        {2, 0, 0, DEMUX_FRAME_OTHER_VIDEO, true}, {3, 0, 0, DEMUX_FRAME_UNKNOWN, true},
        {15, 0, 0, DEMUX_FRAME_UNKNOWN, true},    {0, 1, 0, DEMUX_FRAME_I, true},
        {0, 3, 0, DEMUX_FRAME_I, true},           {0, 0, 4, DEMUX_FRAME_I, true},
        {0, 0, 3, DEMUX_FRAME_I, false},          {0, 0, 5, DEMUX_FRAME_I, false},
    };
    for (const Case &c : kCases) {
        V10FrameFields def = Video();
        def.byKind = c.byKind;
        def.byExtension = c.byExtension;
        def.dwGap = c.dwGap;
        def.byYear = 255;
        def.byDayOfWeek = 15;
        def.byMonth = 12;
        def.byDay = 31;
        def.byHour = 23;
        def.byMinute = 59;
        def.bySecond = 58;
        def.wMillisecond = 1023;
        def.dwTimestamp = 0xFEDCBA98u;
        def.dwSequence = 0x01234567u;
        std::vector<uint64_t> offsets;
        const std::vector<uint8_t> file = File({def}, 2, &offsets);
        const std::vector<ParsedFrame> frames = ParseAll(file, 4097);
        ASSERT_EQ(frames.size(), c.bDelivered ? 1u : 0u)
            << int(c.byKind) << "/" << int(c.byExtension) << "/" << c.dwGap;
        if (!c.bDelivered)
            continue;
        FixtureFrame expected = V10ExpectedFrame(def, 2, offsets[0]);
        EXPECT_EQ(expected.nType, c.nType);
        ExpectFrame(expected, frames[0], file, 0);
        EXPECT_EQ(frames[0].record.stTime.wYear, 2255);
        EXPECT_EQ(frames[0].record.stTime.wDayOfWeek, 15);
        EXPECT_EQ(frames[0].record.stTime.wMilliseconds, 1023);
    }
}

TEST(StreamV10, LastChunkNeedsAFollowingTag) {
    V10Options options;
    options.dwVideoFrames = 5;
    options.bClosingTag = false;
    std::vector<FixtureFrame> written;
    const std::vector<uint8_t> file = WriteV10(options, &written);
    ASSERT_FALSE(written.back().bDelivered);
    for (size_t blockSize : kBlockSizes)
        ExpectFrames(written, ParseAll(file, blockSize), file);
    // The same with a 4-byte gap behind every chunk.
    options.dwGap = 4;
    options.bClosingTag = true;
    written.clear();
    const std::vector<uint8_t> gapped = WriteV10(options, &written);
    for (size_t blockSize : kBlockSizes)
        ExpectFrames(written, ParseAll(gapped, blockSize), gapped);
}

TEST(StreamV10, PayloadLimitOfCodecFamilyOne) {
    struct Case {
        uint8_t byFamily, byVariant;
        size_t payload;
        bool bDelivered;
    };
    static const Case kCases[] = {
        {1, 2, 262144, true}, {1, 2, 262145, false}, {3, 0, 262145, true}, {2, 2, 300000, true}};
    for (const Case &c : kCases) {
        V10FrameFields def = Video();
        def.byFamily = c.byFamily;
        def.byVariant = c.byVariant;
        def.payload.assign(c.payload, 0x42);
        const std::vector<uint8_t> file = File({def});
        const std::vector<ParsedFrame> frames = ParseAll(file, 256 * 1024);
        ASSERT_EQ(frames.size(), c.bDelivered ? 1u : 0u) << int(c.byFamily) << "/" << c.payload;
    }
}

TEST(StreamV10, OsdBlockLimits) {
    V10OsdBlockFields block;
    block.byG = 1; // texts only
    block.wX = 8;
    block.wY = 8;
    block.wW = 64;
    block.wV = 16;
    block.text = {'T'};
    struct Case {
        size_t blocks;
        int nCountOverride;
        uint16_t wGlyphWidth;
        bool bDelivered;
    };
    static const Case kCases[] = {
        {8, -1, 8, true},  {9, -1, 8, false}, {0, 9, 8, false},   {0, 63, 8, false},
        {1, -1, 0, false}, {1, -1, 4, true},  {1, -1, 124, true},
    };
    for (const Case &c : kCases) {
        V10FrameFields damaged = Video();
        damaged.byOsdMode = 2;
        for (size_t i = 0; i < c.blocks; ++i) {
            V10OsdBlockFields b = block;
            b.wGlyphWidth = c.wGlyphWidth;
            damaged.osd.push_back(b);
        }
        damaged.nOsdCountOverride = c.nCountOverride;
        V10FrameFields next = Video();
        next.dwSequence = 78;
        const std::vector<uint8_t> file = File({damaged, next});
        const std::vector<ParsedFrame> frames = ParseAll(file, 1);
        // The chunk behind a rejected one is still found.
        ASSERT_EQ(frames.size(), c.bDelivered ? 2u : 1u) << c.blocks << "/" << c.nCountOverride;
        EXPECT_EQ(frames.back().record.dwSequence, 78u);
        if (c.bDelivered) {
            EXPECT_EQ(frames[0].record.byOsdCount, c.blocks);
        }
    }
}

struct OsdModeCase {
    uint8_t byMode;
    uint8_t byG0;
    std::vector<ItemView> items;
};

TEST(StreamV10, OsdModes) {
    const std::string clock = "2012-03-04 00:05:09";
    const ItemView kClock = {DEMUX_OSD_TEXT, 400, 20, clock};
    const ItemView kTitle0 = {DEMUX_OSD_TEXT, 16, 32, "Title0"};
    const ItemView kTitle1 = {DEMUX_OSD_TEXT, 16, 64, "Title1"};
    const ItemView kBitmap0 = {DEMUX_OSD_BITMAP, 16, 32, ""};
    const OsdModeCase kCases[] = {
        {0, 0, {}},
        {1, 0, {kBitmap0}}, // block 1 has no height: no bitmap
        {2, 0, {kClock, kTitle0, kTitle1}},
        {2, 1, {kTitle0, kTitle1}},
        {2, 2, {kClock}},
        {2, 3, {kClock, kTitle0, kTitle1}},
        {3, 0, {kTitle0, kTitle1}},
        {3, 1, {kClock, kTitle0, kTitle1}},
        {3, 2, {kClock}},
        {3, 3, {}},
    };
    for (const OsdModeCase &c : kCases) {
        V10FrameFields def = Video();
        def.byOsdMode = c.byMode;
        V10OsdBlockFields b0;
        b0.byG = c.byG0;
        b0.wX = 16;
        b0.wY = 32;
        b0.wW = 400;
        b0.wV = 20;
        b0.text = {'T', 'i', 't', 'l', 'e', '0'};
        V10OsdBlockFields b1;
        b1.wX = 16;
        b1.wY = 64;
        b1.wW = 64;
        b1.wV = 0;
        b1.text = {'T', 'i', 't', 'l', 'e', '1'};
        def.osd = {b0, b1};
        const std::vector<ParsedFrame> frames = ParseAll(File({def}));
        ASSERT_EQ(frames.size(), 1u);
        EXPECT_EQ(Items(frames[0]), c.items) << "mode " << int(c.byMode) << " g " << int(c.byG0);
        for (const OsdItem &item : frames[0].osd) {
            if (item.dwKind == DEMUX_OSD_BITMAP) {
                EXPECT_EQ(item.wWidth, 400);
                EXPECT_EQ(item.wHeight, 20);
            } else {
                EXPECT_EQ(item.wWidth, 0);
                EXPECT_EQ(item.wHeight, 0);
            }
        }
    }
}

TEST(StreamV10, ClockTextWithWeekday) {
    struct Case {
        uint8_t byDayOfWeek;
        const char *text;
    };
    static const Case kCases[] = {
        {7, "2012-03-04 00:05:09"},
        {8 | 7, "2012-03-04 00:05:09 \xE6\x98\x9F\xE6\x9C\x9F\xE6\x97\xA5"}, // Sunday
        {8 | 1, "2012-03-04 00:05:09 \xE6\x98\x9F\xE6\x9C\x9F\xE4\xB8\x80"}, // Monday
        {8 | 6, "2012-03-04 00:05:09 \xE6\x98\x9F\xE6\x9C\x9F\xE5\x85\xAD"}, // Saturday
        {8 | 0, "2012-03-04 00:05:09"},                                      // no weekday has no name
        {0, "2012-03-04 00:05:09"},
    };
    for (const Case &c : kCases) {
        V10FrameFields def = Video();
        def.byDayOfWeek = c.byDayOfWeek;
        def.byOsdMode = 2;
        V10OsdBlockFields block;
        block.byG = 2; // the clock only
        block.wW = 48;
        block.wV = 100;
        def.osd = {block};
        const std::vector<ParsedFrame> frames = ParseAll(File({def}));
        ASSERT_EQ(frames.size(), 1u);
        const std::vector<ItemView> expected = {{DEMUX_OSD_TEXT, 48, 100, c.text}};
        EXPECT_EQ(Items(frames[0]), expected) << int(c.byDayOfWeek);
        EXPECT_EQ(frames[0].record.stTime.wDayOfWeek, c.byDayOfWeek);
    }
}

TEST(StreamV10, TextItemRules) {
    struct Case {
        std::vector<uint8_t> text;
        bool bItem;
        std::string expected;
    };
    const Case kCases[] = {
        {{}, false, ""},
        {{0, 'a', 'b'}, false, ""},
        {{'a', 'b', 0, 'c', 'd'}, true, "ab"},
        {std::vector<uint8_t>(127, 'A'), true, std::string(127, 'A')},
        {std::vector<uint8_t>(128, 'A'), false, ""},
        {{'C', 'h', ' ', '1'}, true, "Ch 1"},
    };
    for (const Case &c : kCases) {
        V10FrameFields def = Video();
        def.byOsdMode = 3;
        V10OsdBlockFields block;
        block.byG = 0; // texts, no clock
        block.wX = 100;
        block.wY = 200;
        block.text = c.text;
        def.osd = {block};
        const std::vector<ParsedFrame> frames = ParseAll(File({def}));
        ASSERT_EQ(frames.size(), 1u);
        std::vector<ItemView> expected;
        if (c.bItem)
            expected.push_back({DEMUX_OSD_TEXT, 100, 200, c.expected});
        EXPECT_EQ(Items(frames[0]), expected) << c.text.size();
    }
}

// The OSD count is taken at I frames; while it is not zero every video frame
// replaces the whole set from its own header.
TEST(StreamV10, OsdCountFollowsIFrames) {
    auto frame = [](uint8_t kind, uint8_t mode, std::vector<std::string> texts) {
        V10FrameFields def = Video();
        def.byKind = kind;
        def.byOsdMode = mode;
        uint16_t y = 10;
        for (const std::string &t : texts) {
            V10OsdBlockFields block;
            block.byG = 1; // texts only
            block.wX = 20;
            block.wY = y;
            y = uint16_t(y + 20);
            block.text.assign(t.begin(), t.end());
            def.osd.push_back(block);
        }
        return def;
    };
    const std::vector<V10FrameFields> chunks = {
        frame(0, 2, {"a", "b"}), // I: count 2
        frame(1, 2, {"c", "d"}), // P: its own blocks
        frame(1, 2, {"e"}),      // P with fewer blocks: the missing one is empty
        frame(1, 0, {}),         // P without OSD: the set is cleared
        frame(0, 2, {"f", "g"}), // I: count 2 again
        frame(0, 2, {}),         // I without blocks: count 0, the set is gone
        frame(1, 2, {"h"}),      // count 0: P frames bring nothing
        frame(0, 2, {"i"}),      // I: count 1
    };
    const std::vector<std::vector<std::string>> expected = {
        {"a", "b"}, {"c", "d"}, {"e"}, {}, {"f", "g"}, {}, {}, {"i"},
    };
    const std::vector<uint8_t> file = File(chunks);
    for (size_t blockSize : kBlockSizes) {
        const std::vector<ParsedFrame> frames = ParseAll(file, blockSize);
        ASSERT_EQ(frames.size(), expected.size());
        for (size_t i = 0; i < frames.size(); ++i) {
            std::vector<std::string> texts;
            for (const ItemView &v : Items(frames[i]))
                texts.push_back(v.text);
            EXPECT_EQ(texts, expected[i]) << "frame " << i;
            EXPECT_EQ(frames[i].record.byOsdCount, expected[i].size());
        }
    }

    // Reset forgets the count: a P frame with blocks then brings nothing.
    StreamPtr stream = Open(file);
    ASSERT_TRUE(stream);
    const std::vector<uint8_t> first = File({chunks[0]});
    EXPECT_EQ(Feed(stream.get(), first, first.size()).back().record.byOsdCount, 2);
    ASSERT_EQ(stream->Reset(), DEMUX_OK);
    const std::vector<uint8_t> second = File({chunks[1]});
    const std::vector<ParsedFrame> after = Feed(stream.get(), second, second.size());
    ASSERT_EQ(after.size(), 1u);
    EXPECT_EQ(after[0].record.byOsdCount, 0);
}

// ---- Bitmap items ----

// The row bytes of a bitmap item.
std::vector<uint8_t> Body(const OsdItem &item, size_t bytes) {
    return std::vector<uint8_t>(item.body.abBits, item.body.abBits + bytes);
}

const uint8_t *Ascii16(char c) {
    return kFontAscii16[c - 0x20];
}

ParsedFrame OneBitmapFrame(const V10OsdBlockFields &block, uint8_t dayOfWeek = 7) {
    V10FrameFields def = Video();
    def.byDayOfWeek = dayOfWeek;
    def.byOsdMode = 1;
    def.osd = {block};
    const std::vector<ParsedFrame> frames = ParseAll(File({def}));
    EXPECT_EQ(frames.size(), 1u);
    return frames.empty() ? ParsedFrame() : frames[0];
}

TEST(StreamV10, BitmapOfCharactersTimeAndCarriedCells) {
    V10OsdBlockFields block;
    block.wX = 8;
    block.wY = 100;
    block.wW = 64; // 8 cells of 8 pixels, 8 bytes a row
    block.wV = 20; // rows below the glyphs stay blank
    block.wGlyphWidth = 8;
    block.wGlyphHeight = 16;
    // 'A', the year digits, the weekday digit, the weekday name's first
    // letter, one carried cell; the 0 ends the codes.
    block.codes = {'A', 1, 2, 3, 4, 15, 16, 129};
    std::vector<uint8_t> cell(16);
    for (size_t r = 0; r < 16; ++r)
        cell[r] = uint8_t(0x81 + r);
    block.text = cell;
    const ParsedFrame frame = OneBitmapFrame(block);
    ASSERT_EQ(frame.osd.size(), 1u);
    const OsdItem &item = frame.osd[0];
    EXPECT_EQ(item.dwKind, uint32_t(DEMUX_OSD_BITMAP));
    EXPECT_EQ(item.wX, 8);
    EXPECT_EQ(item.wY, 100);
    EXPECT_EQ(item.wWidth, 64);
    EXPECT_EQ(item.wHeight, 20);
    // 2012-03-04 is a Sunday: %w is 0 and %a "Sun".
    const uint8_t *glyphs[7] = {Ascii16('A'), Ascii16('2'), Ascii16('0'), Ascii16('1'),
                                Ascii16('2'), Ascii16('0'), Ascii16('S')};
    std::vector<uint8_t> expected(DEMUX_OSD_BODY_SIZE, 0);
    for (size_t r = 0; r < 16; ++r) {
        for (size_t c = 0; c < 7; ++c)
            expected[r * 8 + c] = glyphs[c][r];
        expected[r * 8 + 7] = cell[r];
    }
    EXPECT_EQ(Body(item, DEMUX_OSD_BODY_SIZE), expected);
}

TEST(StreamV10, BitmapWithChineseWeekdayAtThirtyTwoPixels) {
    V10OsdBlockFields block;
    block.wW = 192; // 6 cells of 32 pixels, 24 bytes a row
    block.wV = 32;
    block.wGlyphWidth = 32;
    block.wGlyphHeight = 32;
    block.codes = {16, 17, 18, 'B', 19, 22};
    const ParsedFrame frame = OneBitmapFrame(block, 8 | 3); // Wednesday, by name
    ASSERT_EQ(frame.osd.size(), 1u);
    std::vector<uint8_t> expected(DEMUX_OSD_BODY_SIZE, 0);
    const int han[3] = {kFontHanXing, kFontHanQi, kFontHanSan};
    for (size_t r = 0; r < 32; ++r) {
        for (size_t c = 0; c < 3; ++c)
            for (size_t b = 0; b < 4; ++b)
                expected[r * 24 + c * 4 + b] = kFontHan32[han[c]][r * 4 + b];
        for (size_t b = 0; b < 2; ++b) {
            expected[r * 24 + 12 + b] = kFontAscii32['B' - 0x20][r * 2 + b];
            expected[r * 24 + 16 + b] = kFontAscii32['M' - 0x20][r * 2 + b]; // "Mar"
        }
    }
    EXPECT_EQ(Body(frame.osd[0], DEMUX_OSD_BODY_SIZE), expected);

    // Without bit 3 the same codes draw the English name and %w is 3.
    block.codes = {15, 16, 17, 18};
    const ParsedFrame plain = OneBitmapFrame(block, 3);
    std::vector<uint8_t> english(DEMUX_OSD_BODY_SIZE, 0);
    const char letters[4] = {'3', 'W', 'e', 'd'};
    for (size_t r = 0; r < 32; ++r)
        for (size_t c = 0; c < 4; ++c)
            for (size_t b = 0; b < 2; ++b)
                english[r * 24 + c * 4 + b] = kFontAscii32[letters[c] - 0x20][r * 2 + b];
    ASSERT_EQ(plain.osd.size(), 1u);
    EXPECT_EQ(Body(plain.osd[0], DEMUX_OSD_BODY_SIZE), english);
}

TEST(StreamV10, BitmapLimits) {
    // At most 44 codes; a body too small for all rows keeps those that fit.
    V10OsdBlockFields wide;
    wide.wW = 2040; // 255 cells, 255 bytes a row: 11 rows fit the body
    wide.wV = 16;
    wide.wGlyphWidth = 8;
    wide.wGlyphHeight = 16;
    wide.codes.assign(60, 'H');
    const ParsedFrame frame = OneBitmapFrame(wide);
    ASSERT_EQ(frame.osd.size(), 1u);
    EXPECT_EQ(frame.osd[0].wHeight, 16);
    std::vector<uint8_t> expected(DEMUX_OSD_BODY_SIZE, 0);
    for (size_t r = 0; r < 11; ++r)
        for (size_t c = 0; c < 44; ++c)
            expected[r * 255 + c] = Ascii16('H')[r];
    EXPECT_EQ(Body(frame.osd[0], DEMUX_OSD_BODY_SIZE), expected);

    // Carried cells stop at the cell count and when the bytes run out; code
    // 128 takes no cell, a glyph height without a font draws nothing.
    struct Case {
        std::vector<uint16_t> codes;
        size_t carriedCells; // cells of bytes in the block
        uint16_t wGlyphHeight;
        std::vector<int> cells; // per cell: -1 blank, 'x' a character, n >= 0 carried cell n
    };
    const Case kCases[] = {
        {{'A', 'B', 'C', 130}, 2, 16, {'A', 'B', 'C', 0}},
        {{131}, 2, 16, {0, 1, -1, -1}},
        {{128, 'A', 128, 'B'}, 0, 16, {'A', 'B', -1, -1}},
        {{'A', 0, 'B'}, 0, 16, {'A', -1, -1, -1}},
        {{'A', 127, 31, 'B'}, 0, 16, {'A', -1, -1, 'B'}},
        {{'A', 'B'}, 0, 20, {-1, -1, -1, -1}},
        {{129, 'A'}, 1, 20, {10, -1, -1, -1}}, // carried cells need no font
    };
    for (const Case &c : kCases) {
        V10OsdBlockFields block;
        block.wW = 32; // 4 cells, 4 bytes a row
        block.wV = 24;
        block.wGlyphWidth = 8;
        block.wGlyphHeight = c.wGlyphHeight;
        block.codes = c.codes;
        for (size_t n = 0; n < c.carriedCells * c.wGlyphHeight; ++n)
            block.text.push_back(uint8_t(0x11 * (n / c.wGlyphHeight + 1) + n % c.wGlyphHeight));
        const ParsedFrame f = OneBitmapFrame(block);
        ASSERT_EQ(f.osd.size(), 1u);
        std::vector<uint8_t> want(DEMUX_OSD_BODY_SIZE, 0);
        for (size_t cell = 0; cell < 4; ++cell) {
            const int what = c.cells[cell];
            for (size_t r = 0; r < c.wGlyphHeight && r < 24; ++r) {
                uint8_t byte = 0;
                if (what >= 0 && what < 10)
                    byte = block.text[size_t(what) * c.wGlyphHeight + r];
                else if (what == 10)
                    byte = block.text[r]; // the 20-pixel carried cell
                else if (what >= 'A')
                    byte = c.wGlyphHeight == 16 ? Ascii16(char(what))[r] : 0;
                want[r * 4 + cell] = byte;
            }
        }
        EXPECT_EQ(Body(f.osd[0], DEMUX_OSD_BODY_SIZE), want)
            << c.codes.size() << " codes, first " << c.codes[0];
    }

    // No width or no height: no item.
    for (uint16_t w : {0, 8}) {
        V10OsdBlockFields block;
        block.wW = w;
        block.wV = w ? 0 : 16;
        block.wGlyphWidth = 4;
        block.codes = {'A'};
        const ParsedFrame f = OneBitmapFrame(block);
        EXPECT_TRUE(f.osd.empty()) << w;
    }
}

// ---- Damage ----

TEST(StreamV10, DamagedChunksAreSkipped) {
    V10Options options;
    options.dwVideoFrames = 6;
    std::vector<FixtureFrame> written;
    std::vector<V10FrameFields> defs;
    const std::vector<uint8_t> good = WriteV10(options, &written, &defs);
    ASSERT_EQ(written.size(), 12u);

    // A chunk with a header length past the end of the data, one whose
    // header length is shorter than its own fields, and noise.
    V10FrameFields longHeader = Video();
    longHeader.nHeaderLengthOverride = 16383;
    V10FrameFields shortHeader = Video();
    shortHeader.nHeaderLengthOverride = 20;
    V10FrameFields nineBlocks = Video();
    nineBlocks.byOsdMode = 2;
    nineBlocks.osd.assign(9, V10OsdBlockFields());
    std::vector<uint8_t> longBytes, shortBytes, nineBytes;
    AppendV10Chunk(longBytes, longHeader);
    AppendV10Chunk(shortBytes, shortHeader);
    AppendV10Chunk(nineBytes, nineBlocks);
    const std::vector<uint8_t> noise = {'0', '0',  'd',  'c',  0xFF, 0xFF, 0xFF, '0',  '0',  'd',
                                        'b', 0x11, 0x0C, 0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF, 'x'};

    struct Case {
        const char *name;
        const std::vector<uint8_t> *insert;
    };
    const Case kCases[] = {{"header past the end", &longBytes},
                           {"header shorter than its fields", &shortBytes},
                           {"nine OSD blocks", &nineBytes},
                           {"noise", &noise}};
    for (const Case &c : kCases) {
        SCOPED_TRACE(c.name);
        // Inserted in front of the fifth chunk. Each insert starts with a tag,
        // so the audio chunk before it still counts as whole.
        std::vector<uint8_t> file(good.begin(), good.begin() + long(written[4].ullOffset));
        file.insert(file.end(), c.insert->begin(), c.insert->end());
        file.insert(file.end(), good.begin() + long(written[4].ullOffset), good.end());
        std::vector<FixtureFrame> expected;
        for (size_t i = 0; i < written.size(); ++i) {
            FixtureFrame f = written[i];
            if (i >= 4 && f.nType != DEMUX_FRAME_AUDIO)
                f.ullOffset += c.insert->size();
            expected.push_back(f);
        }
        for (size_t blockSize : kBlockSizes)
            ExpectFrames(expected, ParseAll(file, blockSize), file);
    }

    // A truncated last chunk is lost; the audio chunk before it still sees
    // its tag and counts as whole.
    std::vector<uint8_t> cut = good;
    cut.resize(written[10].ullOffset + 40);
    std::vector<FixtureFrame> expected(written.begin(), written.begin() + 10);
    for (size_t blockSize : kBlockSizes)
        ExpectFrames(expected, ParseAll(cut, blockSize), cut);
}

// The frame tests never read outside the bytes they are given: every cut of
// a chunk (an exact-size copy, so that the address sanitizer sees a read
// past it) is refused, and only the whole chunk with its trailer passes.
TEST(StreamV10, FrameTestsStayInsideTheBytesGiven) {
    V10FrameFields video = Video();
    video.byExtension = 1;
    video.byOsdMode = 1;
    V10OsdBlockFields block;
    block.wW = 32;
    block.wV = 16;
    block.wGlyphWidth = 8;
    block.codes = {'A', 1, 129};
    block.text.assign(16, 0x5A);
    video.osd = {block, block};
    V10FrameFields audio;
    audio.bAudio = true;
    audio.byFamily = 1;
    audio.byVariant = 2;
    audio.payload.assign(64, 0xD5);
    for (const V10FrameFields &def : {video, audio}) {
        std::vector<uint8_t> chunk;
        AppendV10Chunk(chunk, def);
        chunk.insert(chunk.end(), {'0', '0', 'd', 'b', 0, 0, 0, 0});
        CBaseStream *raw = CreateStreamV10();
        ASSERT_NE(raw, nullptr);
        StreamPtr stream(raw);
        const std::vector<uint8_t> name = V10NameBlock(1);
        ASSERT_EQ(stream->Open(name.data(), uint32_t(name.size())), DEMUX_OK);
        for (size_t n = 0; n <= chunk.size(); ++n) {
            const std::vector<uint8_t> part = Slice(chunk, 0, n);
            const bool isVideo = stream->IsVideoFrameAt(part.data(), uint32_t(n));
            const bool isAudio = stream->IsAudioFrameAt(part.data(), uint32_t(n));
            ASSERT_EQ(isVideo, !def.bAudio && n == chunk.size()) << n;
            ASSERT_EQ(isAudio, def.bAudio && n == chunk.size()) << n;
        }
        const std::vector<uint8_t> whole = chunk;
        FrameRecord *frame = def.bAudio ? stream->ParseAudioFrame(whole.data(), uint32_t(whole.size()))
                                         : stream->ParseVideoFrame(whole.data(), uint32_t(whole.size()), 0);
        ASSERT_NE(frame, nullptr);
        EXPECT_EQ(frame->dwPayloadLength, def.payload.size());
        EXPECT_EQ(frame->byOsdCount, def.bAudio ? 0 : 2);
        stream->FreeFrame(frame);
    }
}

} // namespace
