// The recorder's on-screen display as the player shows it: recordings of the
// generations that carry a title and a clock are pulled picture by picture
// twice, once with the library's renderer and once with plain pictures, and
// the two are compared. The text must change the luma inside the items'
// rectangles and nowhere else, sit where the items say, and the clock must
// follow the frames' own recording time. A played recording's snapshot must
// show the texts too. Glyphs differ between the text engines (GDI under
// Windows, FreeType elsewhere), so the checks look at where and how the
// pixels change, never at the glyphs themselves.
#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "display/displaymanager.h"
#include "display/windowsystem.h"
#include "filemode_test_util.h"

using namespace filetest;

namespace {

// Luma the renderer writes for white text and for its black outline.
constexpr uint8_t kBodyLuma = 235;
constexpr uint8_t kOutlineLuma = 16;

// Character height in pixels of the texts on a picture of this width (the
// renderer's steps for the widths used here).
int TextHeightFor(uint32_t width) {
    switch (width) {
    case 352:
        return 14;
    case 704:
        return 18;
    default:
        ADD_FAILURE() << "no text height known for width " << width;
        return 0;
    }
}

// A rectangle, right and bottom excluded.
struct Box {
    int nLeft = 0, nTop = 0, nRight = 0, nBottom = 0;
    bool Contains(int x, int y) const { return x >= nLeft && x < nRight && y >= nTop && y < nBottom; }
};

// Where a text item of nChars characters at (x, y) may change a picture:
// its rectangle with one pixel of margin around the text, left edges on
// multiples of 4 and top edges even, moved left (up) to end at the
// picture's edge when it would run past it. A character of these faces is
// at most three quarters of the text height wide and a line at most one
// and a half heights high.
Box TextBound(int x, int y, size_t nChars, uint32_t width, uint32_t height) {
    const int em = TextHeightFor(width);
    const int w = int(nChars) * em * 3 / 4 + 2;
    const int h = em * 3 / 2 + 2;
    const int right = int(width) & ~3, bottom = int(height) & ~1;
    Box box;
    box.nLeft = x & ~3;
    box.nRight = std::min((x + w + 3) & ~3, right);
    if (x + w > int(width))
        box.nLeft = std::max(int(width) - w, 0) & ~3; // moved left: ends at the edge
    box.nTop = y & ~1;
    box.nBottom = std::min(y + h, bottom);
    if (y + h > int(height))
        box.nTop = std::max(int(height) - h, 0) & ~1;
    return box;
}

std::u16string ItemText(const OsdItem &item) {
    std::u16string text;
    for (size_t i = 0; i < DEMUX_OSD_TEXT_MAX && item.body.szText[i] != 0; ++i)
        text.push_back(char16_t(item.body.szText[i]));
    return text;
}

std::string Narrow(const std::u16string &text) {
    std::string s;
    for (char16_t c : text)
        s.push_back(c < 0x80 ? char(c) : '?');
    return s;
}

// ---- Pulled pictures ----

struct TextItem {
    int nX = 0, nY = 0;
    std::u16string text;
};

struct Picture {
    uint32_t dwWidth = 0, dwHeight = 0, dwFourCC = 0;
    std::vector<uint8_t> data; // Y plane, then two chroma planes of a quarter each
    std::vector<TextItem> texts;
    uint8_t Luma(int x, int y) const { return data[size_t(y) * dwWidth + size_t(x)]; }
};

struct Pulled {
    std::map<uint32_t, Picture> bySequence;
    uint32_t dwItemsDrawn = 0; // items of the frames pulled with a picture
    OSD_STATUS before{};       // before the first pull
    OSD_STATUS middle{};       // after half of the pictures
    uint32_t dwItemsAtMiddle = 0;
    OSD_STATUS after{};
};

OSD_STATUS OsdStatus(PLAY_HANDLE h) {
    OSD_STATUS status{};
    status.dwSize = 0xFFFF;
    uint32_t size = sizeof(status);
    EXPECT_EQ(PlayApi_GetAttribute(h, PLAY_ATTRIBUTE_OSD_STATUS, &status, &size), PLAY_OK);
    EXPECT_EQ(size, OSD_STATUS_SIZE);
    return status;
}

// Every picture of the file, decoded on demand in the decoder's own format.
void PullAll(const std::filesystem::path &path, uint32_t dwVideoFrames, Pulled *pOut) {
    CPlayer player;
    ASSERT_EQ(OpenFile(player, path), PLAY_OK);
    const PLAY_HANDLE h = player.Get();
    ASSERT_EQ(SetU32(h, PLAY_CONTROL_ENABLE, PLAY_ENABLE_DECODE_ON_DEMAND | PLAY_ENABLE_VIDEO_DECODE),
              PLAY_OK);
    ASSERT_TRUE(WaitIndex(h));
    pOut->before = OsdStatus(h);
    for (int i = 0; i < 10000; ++i) {
        PLAY_FRAME *pFrame = nullptr;
        const int32_t res = PlayApi_GetDecodeFrame(h, PLAY_PIXEL_FORMAT_DEFAULT, &pFrame);
        if (res == PLAY_E_NO_FRAME)
            break;
        ASSERT_EQ(res, PLAY_OK);
        ASSERT_NE(pFrame->pFrame, nullptr);
        const FrameRecord &record = *pFrame->pFrame;
        const DecodedPicture &pic = pFrame->output.picture;
        if (record.nType != DEMUX_FRAME_AUDIO && pic.pBuffer != nullptr) {
            Picture p;
            p.dwWidth = pic.dwWidth;
            p.dwHeight = pic.dwHeight;
            p.dwFourCC = pic.dwFourCC;
            EXPECT_TRUE(p.dwFourCC == VDEC_FOURCC_YV12 || p.dwFourCC == PLAY_PIXEL_FORMAT_I420);
            const size_t bytes = size_t(pic.dwWidth) * pic.dwHeight * 3 / 2;
            ASSERT_GE(pic.dwBufferSize, bytes);
            p.data.assign(pic.pBuffer, pic.pBuffer + bytes);
            for (uint32_t k = 0; k < record.byOsdCount; ++k) {
                const OsdItem &item = record.pOsdItems[k];
                EXPECT_EQ(item.dwKind, uint32_t(DEMUX_OSD_TEXT));
                p.texts.push_back({item.wX, item.wY, ItemText(item)});
            }
            pOut->dwItemsDrawn += record.byOsdCount;
            pOut->bySequence[record.dwSequence] = std::move(p);
            if (pOut->bySequence.size() == dwVideoFrames / 2) {
                pOut->middle = OsdStatus(h);
                pOut->dwItemsAtMiddle = pOut->dwItemsDrawn;
            }
        }
        ASSERT_EQ(PlayApi_FreeDecodeFrame(h, pFrame), PLAY_OK);
    }
    pOut->after = OsdStatus(h);
}

// How the renderer left one pixel, seen against the plain picture: its
// luma is the text's body or outline luma where it drew, the plain luma
// elsewhere. Where the plain picture already has one of those two values the
// pixel tells nothing.
enum class Mark { kNone, kBody, kOutline, kUnknown };

Mark MarkAt(const Picture &osd, const Picture &plain, int x, int y) {
    const uint8_t before = plain.Luma(x, y), now = osd.Luma(x, y);
    if (before == kBodyLuma || before == kOutlineLuma)
        return Mark::kUnknown;
    if (now == kBodyLuma)
        return Mark::kBody;
    if (now == kOutlineLuma)
        return Mark::kOutline;
    return Mark::kNone;
}

// Pixels of the box marked differently in two pictures (each against its
// plain picture), where both say something.
size_t MarksDiffering(const Box &box, const Picture &osdA, const Picture &plainA, const Picture &osdB,
                      const Picture &plainB) {
    size_t n = 0;
    for (int y = box.nTop; y < box.nBottom; ++y)
        for (int x = box.nLeft; x < box.nRight; ++x) {
            const Mark a = MarkAt(osdA, plainA, x, y), b = MarkAt(osdB, plainB, x, y);
            if (a != Mark::kUnknown && b != Mark::kUnknown && a != b)
                ++n;
        }
    return n;
}

// ---- Recordings ----

struct Case {
    Gen gen;
    uint32_t dwIntervalMs; // between frames: 30 puts second changes on P frames
    // Where the fixture writers put the title and the clock.
    int nTitleX, nTitleY, nClockX, nClockY;
};

const Case kCases[] = {
    {Gen::V30, 30, 16, 16, 16, 48},
    {Gen::V20, 40, 16, 16, 16, 48}, // the V20 writer has a fixed 40 ms interval
    // The V10 clock lies beyond the right edge of a 352-pixel picture: it is
    // drawn moved left to end at the edge.
    {Gen::V10, 30, 16, 32, 400, 32},
};

void PrintTo(const Case &c, std::ostream *pOut) {
    *pOut << GenName(c.gen) << ", frames " << c.dwIntervalMs << " ms apart";
}

constexpr uint32_t kFrames = 75;

class PulledPictures : public ::testing::TestWithParam<Case> {
protected:
    void SetUp() override { playtest::UseSystemOsd(); }
    void TearDown() override { playtest::UsePlainPictures(); }
};

TEST_P(PulledPictures, CarryTheTitleAndAClockThatFollowsTheRecordingTime) {
    const Case c = GetParam();
    const FileRecording r = MakeFile(c.gen, kFrames, true, kSmallClip, c.dwIntervalMs);
    CTempDir dir;
    const std::filesystem::path path = dir.Write("osd.rec", r.bytes);

    Pulled osd, plain;
    ASSERT_NO_FATAL_FAILURE(PullAll(path, kFrames, &osd));
    playtest::UsePlainPictures();
    ASSERT_NO_FATAL_FAILURE(PullAll(path, kFrames, &plain));

    // The decoder keeps the last picture back.
    ASSERT_GE(osd.bySequence.size() + 1, size_t(kFrames));
    ASSERT_EQ(osd.bySequence.size(), plain.bySequence.size());

    // The renderer counts every item it drew and the time it took.
    EXPECT_EQ(osd.before.dwItemCount, 0u);
    EXPECT_EQ(osd.before.llDrawTime, 0);
    EXPECT_EQ(osd.middle.dwSize, OSD_STATUS_SIZE);
    EXPECT_EQ(osd.middle.dwItemCount, osd.dwItemsAtMiddle);
    EXPECT_GT(osd.middle.llDrawTime, 0);
    EXPECT_EQ(osd.after.dwSize, OSD_STATUS_SIZE);
    EXPECT_EQ(osd.after.dwItemCount, osd.dwItemsDrawn);
    EXPECT_EQ(osd.dwItemsDrawn, 2 * osd.bySequence.size());
    EXPECT_GT(osd.after.dwItemCount, osd.middle.dwItemCount);
    EXPECT_GE(osd.after.llDrawTime, osd.middle.llDrawTime);

    // Second of the recording time of each frame, as written.
    std::map<uint32_t, uint16_t> second;
    for (const FixtureFrame *f : r.Video())
        second[f->dwSequence] = f->stTime.wSecond;

    struct Group {
        const Picture *pOsd = nullptr;
        const Picture *pPlain = nullptr;
        uint16_t wSecond = 0;
    };
    std::vector<Group> firsts; // the first picture of each second
    const Picture *pTitleRef = nullptr, *pTitleRefPlain = nullptr;
    const Picture *pClockRef = nullptr, *pClockRefPlain = nullptr;

    for (const auto &[sequence, o] : osd.bySequence) {
        SCOPED_TRACE("frame " + std::to_string(sequence));
        ASSERT_EQ(plain.bySequence.count(sequence), 1u);
        const Picture &p = plain.bySequence.at(sequence);
        ASSERT_EQ(o.dwWidth, p.dwWidth);
        ASSERT_EQ(o.dwHeight, p.dwHeight);
        ASSERT_EQ(o.dwWidth, 352u);
        ASSERT_EQ(second.count(sequence), 1u);

        // The frame's own items: the title and the clock where the recorder
        // put them.
        ASSERT_EQ(o.texts.size(), 2u);
        const TextItem *pTitle = nullptr, *pClock = nullptr;
        for (const TextItem &t : o.texts) {
            if (t.nX == c.nTitleX && t.nY == c.nTitleY)
                pTitle = &t;
            else if (t.nX == c.nClockX && t.nY == c.nClockY)
                pClock = &t;
        }
        ASSERT_NE(pTitle, nullptr);
        ASSERT_NE(pClock, nullptr);
        EXPECT_EQ(Narrow(pTitle->text), "Camera 01");
        ASSERT_GE(pClock->text.size(), 8u);
        const Box title = TextBound(pTitle->nX, pTitle->nY, pTitle->text.size(), o.dwWidth, o.dwHeight);
        const Box clock = TextBound(pClock->nX, pClock->nY, pClock->text.size(), o.dwWidth, o.dwHeight);

        // Luma changes only inside the two rectangles, and only to the
        // text's body or outline luma.
        const int w = int(o.dwWidth), h = int(o.dwHeight);
        size_t outside = 0, foreign = 0;
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                const uint8_t a = o.Luma(x, y), b = p.Luma(x, y);
                if (a == b)
                    continue;
                if (!title.Contains(x, y) && !clock.Contains(x, y))
                    ++outside;
                else if (a != kBodyLuma && a != kOutlineLuma)
                    ++foreign;
            }
        EXPECT_EQ(outside, 0u) << "luma changed outside the items";
        EXPECT_EQ(foreign, 0u) << "luma changed to other than the text's levels";
        // Chroma: only the samples under the rectangles (whose edges are even).
        size_t chromaOutside = 0;
        const size_t cw = o.dwWidth / 2, ch = o.dwHeight / 2, luma = size_t(w) * h;
        for (size_t plane = 0; plane < 2; ++plane)
            for (size_t y = 0; y < ch; ++y)
                for (size_t x = 0; x < cw; ++x) {
                    const size_t at = luma + plane * cw * ch + y * cw + x;
                    if (o.data[at] != p.data[at] && !title.Contains(int(2 * x), int(2 * y)) &&
                        !clock.Contains(int(2 * x), int(2 * y)))
                        ++chromaOutside;
                }
        EXPECT_EQ(chromaOutside, 0u) << "chroma changed outside the items";

        // Each text is drawn at its place, at the size the picture width
        // asks for: the changed pixels start at the item's corner (at the
        // picture's right edge for a text moved left) and span a line of
        // text.
        const int em = TextHeightFor(o.dwWidth);
        for (const TextItem *t : {pTitle, pClock}) {
            SCOPED_TRACE("text \"" + Narrow(t->text) + "\"");
            const Box box = TextBound(t->nX, t->nY, t->text.size(), o.dwWidth, o.dwHeight);
            int left = w, right = -1, top = h, bottom = -1;
            size_t body = 0;
            for (int y = box.nTop; y < box.nBottom; ++y)
                for (int x = box.nLeft; x < box.nRight; ++x) {
                    if (o.Luma(x, y) == p.Luma(x, y))
                        continue;
                    left = std::min(left, x);
                    right = std::max(right, x);
                    top = std::min(top, y);
                    bottom = std::max(bottom, y);
                    body += o.Luma(x, y) == kBodyLuma;
                }
            ASSERT_GE(right, 0) << "nothing drawn";
            EXPECT_GE(body, 4 * t->text.size()) << "too few text pixels";
            const bool bMovedLeft = t->nX + int(t->text.size()) * em * 3 / 4 + 2 > w;
            if (bMovedLeft) {
                EXPECT_GE(right, (w & ~3) - em / 2) << "a text moved left ends at the edge";
            } else {
                EXPECT_LE(left, t->nX + em / 2) << "the text starts away from its item";
            }
            EXPECT_LE(top, t->nY + em / 2) << "the text starts below its item";
            const int textWidth = right - left + 1, textHeight = bottom - top + 1;
            EXPECT_GE(textWidth, int(t->text.size()) * em * 2 / 5) << "the text is too narrow";
            EXPECT_GE(textHeight, em * 3 / 5) << "the text is too low";
            EXPECT_LE(textHeight, em * 3 / 2 + 2) << "the text is too high";
        }

        // The title never changes; the clock changes with the second of
        // the frame's recording time and only then.
        if (pTitleRef == nullptr) {
            pTitleRef = &o;
            pTitleRefPlain = &p;
        }
        EXPECT_EQ(MarksDiffering(title, o, p, *pTitleRef, *pTitleRefPlain), 0u) << "the title changed";
        if (firsts.empty() || firsts.back().wSecond != second[sequence]) {
            firsts.push_back({&o, &p, second[sequence]});
            pClockRef = &o;
            pClockRefPlain = &p;
        }
        EXPECT_EQ(MarksDiffering(clock, o, p, *pClockRef, *pClockRefPlain), 0u)
            << "the clock changed within second " << second[sequence];
    }

    // 75 frames 30 or 40 ms apart span three seconds: each shows a new clock.
    ASSERT_EQ(firsts.size(), 3u);
    for (size_t i = 1; i < firsts.size(); ++i) {
        const Picture &o = *firsts[i].pOsd;
        const TextItem &clockItem =
            o.texts[0].nX == c.nClockX && o.texts[0].nY == c.nClockY ? o.texts[0] : o.texts[1];
        const Box clock = TextBound(clockItem.nX, clockItem.nY, clockItem.text.size(), o.dwWidth, o.dwHeight);
        EXPECT_GE(MarksDiffering(clock, o, *firsts[i].pPlain, *firsts[i - 1].pOsd, *firsts[i - 1].pPlain),
                  10u)
            << "the clock shows the same at seconds " << firsts[i - 1].wSecond << " and "
            << firsts[i].wSecond;
    }
}

INSTANTIATE_TEST_SUITE_P(PlayerOsd, PulledPictures, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case> &i) { return GenName(i.param.gen); });

// ---- A played picture on screen ----

bool TestIsWindow(HWND hWnd) {
    return (uintptr_t)hWnd == 7;
}

bool TestClientArea(HWND hWnd, RECT *pRect) {
    if (!TestIsWindow(hWnd))
        return false;
    *pRect = RECT{0, 0, 352, 288};
    return true;
}

const display::WindowSystemOverride kTestWindows = {TestIsWindow, TestClientArea};

// Shows nothing; the manager keeps the picture on screen for snapshots.
class CSilentBackend final : public CBaseDisplay {
public:
    CSilentBackend(int nSlot, CDisplayManager *pOwner) : CBaseDisplay(nSlot, pOwner) {}
    ~CSilentBackend() override { RemoveAllViewports(); }
    int32_t FinishViewport(ViewportFinish *) override { return DISPLAY_OK; }
};

CBaseDisplay *SilentFactory(int nSlot, CDisplayManager *pOwner, uint32_t) {
    return new CSilentBackend(nSlot, pOwner);
}

struct Snapshot {
    int nWidth = 0, nHeight = 0;
    std::vector<uint8_t> rgb; // bottom-up rows of blue, green, red
    const uint8_t *At(int x, int y) const {
        return &rgb[size_t(nHeight - 1 - y) * DISPLAY_RGB24_STRIDE(nWidth) + size_t(x) * 3];
    }
    bool White(int x, int y) const {
        const uint8_t *p = At(x, y);
        return p[0] >= 230 && p[1] >= 230 && p[2] >= 230;
    }
};

class PlayerOsdSnapshot : public ::testing::Test {
protected:
    void SetUp() override {
        CDisplayManager::SetBackendFactory(SilentFactory);
        display::SetWindowSystemOverride(&kTestWindows);
        playtest::UseSystemOsd();
    }
    void TearDown() override {
        CDisplayManager::SetBackendFactory(nullptr);
        display::SetWindowSystemOverride(nullptr);
        playtest::UsePlainPictures();
    }
    // Plays the file to its end in a viewport and snaps the picture left on
    // screen.
    void PlayAndSnap(const std::filesystem::path &path, Snapshot *pOut) {
        CPlayer player;
        ASSERT_EQ(OpenFile(player, path), PLAY_OK);
        const PLAY_HANDLE h = player.Get();
        ASSERT_EQ(SetU32(h, PLAY_CONTROL_ENABLE, kVideoDecode | PLAY_ENABLE_DISPLAY), PLAY_OK);
        PLAY_VIEWPORT viewport{};
        viewport.dwSize = PLAY_VIEWPORT_SIZE;
        viewport.dwID = 1;
        viewport.hDestWnd = (HWND)7;
        ASSERT_EQ(PlayApi_AddViewport(h, &viewport), PLAY_OK);
        ASSERT_EQ(SetFloat(h, PLAY_CONTROL_SPEED, 8.0f), PLAY_OK);
        ASSERT_EQ(Action(h, PLAY_ACTION_PLAY_FORWARD), PLAY_OK);
        ASSERT_TRUE(WaitEnded(h));
        // The file has ended once its last picture went to the display; the
        // pictures queued before it are still to be shown. The last one
        // stays: snap until the picture holds still.
        Snapshot previous;
        ASSERT_TRUE(WaitUntil([&] {
            previous = *pOut;
            platform::SleepMs(100);
            PLAY_SNAPSHOT snapshot{};
            snapshot.dwSize = PLAY_SNAPSHOT_SIZE;
            if (PlayApi_SnapPicture(h, &snapshot) != PLAY_OK)
                return false;
            pOut->rgb.assign(snapshot.dwBufferSize, 0);
            snapshot.pBuffer = pOut->rgb.data();
            if (PlayApi_SnapPicture(h, &snapshot) != PLAY_OK)
                return false;
            pOut->nWidth = snapshot.bmiHeader.biWidth;
            pOut->nHeight = snapshot.bmiHeader.biHeight;
            return pOut->rgb == previous.rgb;
        }));
        ASSERT_EQ(pOut->rgb.size(), size_t(DISPLAY_RGB24_STRIDE(pOut->nWidth)) * size_t(pOut->nHeight));
    }
};

TEST_F(PlayerOsdSnapshot, TheShownPictureCarriesTheTitleAndTheClockInWhite) {
    // 50 frames 40 ms apart: the last one was recorded at 00:05:10.
    const FileRecording r = MakeFile(Gen::V30, 50, false);
    CTempDir dir;
    const std::filesystem::path path = dir.Write("shown.rec", r.bytes);
    Snapshot osd, plain;
    ASSERT_NO_FATAL_FAILURE(PlayAndSnap(path, &osd));
    playtest::UsePlainPictures();
    ASSERT_NO_FATAL_FAILURE(PlayAndSnap(path, &plain));
    ASSERT_EQ(osd.nWidth, 352);
    ASSERT_EQ(osd.nHeight, 288);
    ASSERT_EQ(plain.nWidth, osd.nWidth);
    ASSERT_EQ(plain.nHeight, osd.nHeight);

    const Box title = TextBound(16, 16, std::string("Camera 01").size(), 352, 288);
    const Box clock = TextBound(16, 48, std::string("2012-03-04 00:05:10").size(), 352, 288);
    for (const Box &box : {title, clock}) {
        size_t white = 0;
        for (int y = box.nTop; y < box.nBottom; ++y)
            for (int x = box.nLeft; x < box.nRight; ++x)
                white += osd.White(x, y) && !plain.White(x, y);
        EXPECT_GE(white, 40u) << "no white text in the rectangle at " << box.nLeft << ", " << box.nTop;
    }
    // Elsewhere the same picture (the last one of the file) as without the
    // texts; conversion may blend chroma one pixel beyond a rectangle.
    size_t differing = 0;
    for (int y = 0; y < osd.nHeight; ++y)
        for (int x = 0; x < osd.nWidth; ++x) {
            bool bNear = false;
            for (const Box &box : {title, clock})
                bNear = bNear || (x >= box.nLeft - 2 && x < box.nRight + 2 && y >= box.nTop - 2 &&
                                  y < box.nBottom + 2);
            if (!bNear && std::memcmp(osd.At(x, y), plain.At(x, y), 3) != 0)
                ++differing;
        }
    EXPECT_EQ(differing, 0u) << "the snapshot differs outside the texts";
}

} // namespace
