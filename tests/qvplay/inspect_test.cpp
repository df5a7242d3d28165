// qvplay info --json, qvplay frames and the failure messages, end to end:
// qvplay runs as a child on recordings the fixture writers made, clean and
// damaged, and what it prints is compared with what the writers wrote.
#ifndef _WIN32

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "fixtures/recordings.h"
#include "qvplay_run.h"

namespace {

using filetest::CTempDir;
using filetest::FileRecording;
using filetest::Gen;
using qvtool::RunQvplay;

// ---- A small JSON reader: enough to check qvplay's objects strictly ----

struct Json {
    enum Kind { kNull, kBool, kNumber, kString, kArray, kObject } kind = kNull;
    bool b = false;
    double number = 0;
    std::string text;
    std::vector<Json> items;
    std::map<std::string, Json> fields;
    std::vector<std::string> order; // keys as written

    bool Has(const std::string &key) const { return fields.count(key) != 0; }
    const Json &operator[](const std::string &key) const {
        static const Json missing;
        auto it = fields.find(key);
        return it == fields.end() ? missing : it->second;
    }
    bool IsNull() const { return kind == kNull; }
};

class CJsonReader {
public:
    explicit CJsonReader(const std::string &text) : m_s(text) {}
    // The one value of the text; false (with a reason) on any syntax error
    // or anything after it.
    bool Read(Json *pOut, std::string *pWhy) {
        if (!Value(*pOut) || (Space(), m_pos != m_s.size())) {
            *pWhy = "bad JSON at byte " + std::to_string(m_pos) + ": " + m_s.substr(m_pos, 40);
            return false;
        }
        return true;
    }

private:
    void Space() {
        while (m_pos < m_s.size() &&
               (m_s[m_pos] == ' ' || m_s[m_pos] == '\n' || m_s[m_pos] == '\t' || m_s[m_pos] == '\r'))
            ++m_pos;
    }
    bool Literal(const char *word) {
        const std::string w(word);
        if (m_s.compare(m_pos, w.size(), w) != 0)
            return false;
        m_pos += w.size();
        return true;
    }
    bool String(std::string &out) {
        if (m_pos >= m_s.size() || m_s[m_pos] != '"')
            return false;
        ++m_pos;
        while (m_pos < m_s.size() && m_s[m_pos] != '"') {
            const unsigned char c = static_cast<unsigned char>(m_s[m_pos]);
            if (c < 0x20)
                return false;
            if (c != '\\') {
                out += m_s[m_pos++];
                continue;
            }
            if (++m_pos >= m_s.size())
                return false;
            const char e = m_s[m_pos++];
            switch (e) {
            case '"':
            case '\\':
            case '/':
                out += e;
                break;
            case 'n':
                out += '\n';
                break;
            case 't':
                out += '\t';
                break;
            case 'r':
                out += '\r';
                break;
            case 'b':
                out += '\b';
                break;
            case 'f':
                out += '\f';
                break;
            case 'u': {
                if (m_pos + 4 > m_s.size())
                    return false;
                const unsigned cp = static_cast<unsigned>(std::stoul(m_s.substr(m_pos, 4), nullptr, 16));
                m_pos += 4;
                if (cp >= 0x80)
                    return false; // qvplay escapes only controls
                out += static_cast<char>(cp);
                break;
            }
            default:
                return false;
            }
        }
        if (m_pos >= m_s.size())
            return false;
        ++m_pos;
        return true;
    }
    bool Value(Json &v) {
        Space();
        if (m_pos >= m_s.size())
            return false;
        const char c = m_s[m_pos];
        if (c == 'n')
            return Literal("null") && (v.kind = Json::kNull, true);
        if (c == 't')
            return Literal("true") && (v.kind = Json::kBool, v.b = true, true);
        if (c == 'f')
            return Literal("false") && (v.kind = Json::kBool, v.b = false, true);
        if (c == '"')
            return (v.kind = Json::kString, String(v.text));
        if (c == '[') {
            v.kind = Json::kArray;
            ++m_pos;
            Space();
            if (m_pos < m_s.size() && m_s[m_pos] == ']')
                return ++m_pos, true;
            for (;;) {
                v.items.emplace_back();
                if (!Value(v.items.back()))
                    return false;
                Space();
                if (m_pos < m_s.size() && m_s[m_pos] == ',') {
                    ++m_pos;
                    continue;
                }
                return m_pos < m_s.size() && m_s[m_pos++] == ']';
            }
        }
        if (c == '{') {
            v.kind = Json::kObject;
            ++m_pos;
            Space();
            if (m_pos < m_s.size() && m_s[m_pos] == '}')
                return ++m_pos, true;
            for (;;) {
                Space();
                std::string key;
                if (!String(key) || v.fields.count(key))
                    return false;
                Space();
                if (m_pos >= m_s.size() || m_s[m_pos++] != ':')
                    return false;
                if (!Value(v.fields[key]))
                    return false;
                v.order.push_back(key);
                Space();
                if (m_pos < m_s.size() && m_s[m_pos] == ',') {
                    ++m_pos;
                    continue;
                }
                return m_pos < m_s.size() && m_s[m_pos++] == '}';
            }
        }
        // A number as JSON writes it: -?digits[.digits][e[+-]digits].
        const size_t start = m_pos;
        if (m_s[m_pos] == '-')
            ++m_pos;
        const size_t digits = m_pos;
        while (m_pos < m_s.size() && isdigit(static_cast<unsigned char>(m_s[m_pos])))
            ++m_pos;
        if (m_pos == digits)
            return false;
        if (m_pos < m_s.size() && m_s[m_pos] == '.') {
            const size_t fraction = ++m_pos;
            while (m_pos < m_s.size() && isdigit(static_cast<unsigned char>(m_s[m_pos])))
                ++m_pos;
            if (m_pos == fraction)
                return false;
        }
        v.kind = Json::kNumber;
        v.number = std::stod(m_s.substr(start, m_pos - start));
        return true;
    }

    const std::string &m_s;
    size_t m_pos = 0;
};

Json ParseJson(const std::string &text) {
    Json v;
    std::string why;
    EXPECT_TRUE(CJsonReader(text).Read(&v, &why)) << why;
    return v;
}

// ---- Facts of the fixtures ----

const Gen kAllGens[] = {Gen::V30, Gen::V20, Gen::G15, Gen::V10, Gen::G6000};

std::string TypeToken(int32_t type) {
    switch (type) {
    case DEMUX_FRAME_I:
        return "I";
    case DEMUX_FRAME_P:
        return "P";
    case DEMUX_FRAME_OTHER_VIDEO:
        return "B";
    case DEMUX_FRAME_DROPPABLE:
        return "droppable";
    case DEMUX_FRAME_AUDIO:
        return "audio";
    }
    return "unknown";
}

std::string TimeText(const SYSTEMTIME &t, bool bMilliseconds) {
    char text[48];
    std::snprintf(text, sizeof(text), "%04u-%02u-%02u %02u:%02u:%02u", unsigned(t.wYear), unsigned(t.wMonth),
                  unsigned(t.wDay), unsigned(t.wHour), unsigned(t.wMinute), unsigned(t.wSecond));
    std::string s = text;
    if (bMilliseconds) {
        std::snprintf(text, sizeof(text), ".%03u", unsigned(t.wMilliseconds));
        s += text;
    }
    return s;
}

bool IsZeroTime(const SYSTEMTIME &t) {
    return t.wYear == 0 && t.wMonth == 0 && t.wDay == 0 && t.wHour == 0 && t.wMinute == 0 && t.wSecond == 0 &&
           t.wMilliseconds == 0;
}

// The JSON lines of frames --json: the frames, then the summary.
struct FramesListing {
    std::vector<Json> frames;
    Json summary;
};

FramesListing ParseFrames(const std::string &out) {
    FramesListing listing;
    const std::vector<std::string> lines = qvtool::Lines(out);
    for (size_t i = 0; i < lines.size(); ++i) {
        Json v = ParseJson(lines[i]);
        if (v.Has("summary")) {
            EXPECT_EQ(i + 1, lines.size()) << "the summary must be the last line";
            listing.summary = v["summary"];
        } else {
            listing.frames.push_back(v);
        }
    }
    EXPECT_EQ(listing.summary.kind, Json::kObject) << "no summary line";
    return listing;
}

// Every frame of the listing against the fixture's record of it.
// Clock records: the V30 styles are exact (qvdemux.h); the other containers
// format by their own rules and language, so their clocks must hold at least
// the frame's year and time of day.
void ExpectFrame(const Json &j, const FixtureFrame &f, size_t index, const std::string &where, Gen gen) {
    SCOPED_TRACE(where + " frame " + std::to_string(index));
    EXPECT_EQ(j["index"].number, double(index));
    EXPECT_EQ(j["type"].text, TypeToken(f.nType));
    EXPECT_EQ(j["type_id"].number, double(f.nType));
    EXPECT_EQ(j["codec_id"].number, double(f.dwCodec));
    EXPECT_EQ(j["payload_size"].number, double(f.payload.size()));
    EXPECT_EQ(j["timestamp_ms"].number, double(f.dwTimestamp));
    EXPECT_EQ(j["sequence"].number, double(f.dwSequence));
    if (f.nType == DEMUX_FRAME_AUDIO) {
        // The parsers place only video: audio has no offset of its own.
        EXPECT_TRUE(j["offset"].IsNull());
        EXPECT_TRUE(j["video_index"].IsNull());
        EXPECT_TRUE(j["width"].IsNull());
    } else {
        EXPECT_EQ(j["offset"].number, double(f.ullOffset));
        EXPECT_EQ(j["header_size"].number, double(f.dwHeaderLength));
        EXPECT_EQ(j["width"].number, double(f.wWidth));
        EXPECT_EQ(j["height"].number, double(f.wHeight));
        EXPECT_EQ(j["video_index"].kind, Json::kNumber);
    }
    if (IsZeroTime(f.stTime)) {
        EXPECT_TRUE(j["time"].IsNull()) << j["time"].text;
    } else {
        EXPECT_EQ(j["time"].text, TimeText(f.stTime, true));
    }
    // Each text and clock record written shows as a text item at its place.
    ASSERT_EQ(j["osd"].kind, Json::kArray);
    for (const FixtureOsdRecord &r : f.osd) {
        std::string want;
        bool bClock = false;
        if (!r.raw.empty())
            continue;
        if (r.dwType == 0 || (r.dwType == 2 && !r.text.empty())) {
            want = r.text;
        } else if (r.dwType == 1 && r.text.empty() &&
                   (gen != Gen::V30 || r.byStyle == DEMUX_TIME_STYLE_YMD_HMS)) {
            want = TimeText(f.stTime, false);
            bClock = gen != Gen::V30;
        } else {
            continue;
        }
        bool bFound = false;
        for (const Json &item : j["osd"].items) {
            if (item["kind"].text != "text" || item["x"].number != r.wX || item["y"].number != r.wY)
                continue;
            if (bClock)
                bFound |= item["text"].text.find(want.substr(0, 4)) != std::string::npos &&
                          item["text"].text.find(want.substr(11)) != std::string::npos;
            else
                bFound |= item["text"].text == want;
        }
        std::string items;
        for (const Json &item : j["osd"].items)
            items += item["kind"].text + "@" + std::to_string(int(item["x"].number)) + "," +
                     std::to_string(int(item["y"].number)) + " \"" + item["text"].text + "\"; ";
        EXPECT_TRUE(bFound) << "no text item \"" << want << "\" at " << r.wX << "," << r.wY << " among "
                            << items;
    }
}

std::filesystem::path WriteRecording(const CTempDir &dir, const FileRecording &r, const std::string &name) {
    return dir.Write(name, r.bytes);
}

// ---- info ----

// The documented keys of info --json, in their order.
const std::vector<std::string> kInfoKeys = {"file",
                                            "container",
                                            "container_name",
                                            "file_size",
                                            "duration_ms",
                                            "video_frames",
                                            "video_codec",
                                            "video_codec_id",
                                            "width",
                                            "height",
                                            "size_source",
                                            "frame_rate",
                                            "frame_rate_source",
                                            "frame_rate_at_open",
                                            "key_frame_distance",
                                            "key_frame_distance_source",
                                            "key_frame_interval_ms",
                                            "audio_codec",
                                            "audio_codec_id",
                                            "measured_seconds",
                                            "measured_video_frames",
                                            "failed_pulls",
                                            "last_failure"};

TEST(InspectInfoJson, EveryGenerationGivesItsFacts) {
    for (const Gen gen : kAllGens) {
        SCOPED_TRACE(filetest::GenName(gen));
        CTempDir dir;
        const FileRecording r = filetest::MakeFile(gen, 60);
        const auto path = WriteRecording(dir, r, "rec.qv");
        const qvtool::RunResult run = RunQvplay({"info", "--json", path.string()});
        ASSERT_EQ(run.nExitCode, 0) << run.Describe();
        const Json j = ParseJson(run.out);
        ASSERT_EQ(j.kind, Json::kObject);
        EXPECT_EQ(j.order, kInfoKeys) << "the keys or their order changed";
        EXPECT_EQ(j["file"].text, path.string());
        EXPECT_EQ(j["container"].text, filetest::GenName(gen));
        EXPECT_EQ(j["file_size"].number, double(r.bytes.size()));
        EXPECT_EQ(j["duration_ms"].number, double(r.Duration()));
        EXPECT_EQ(j["video_frames"].number, double(r.FrameCount()));
        const FixtureFrame &first = *r.Video().front();
        EXPECT_EQ(j["video_codec_id"].number, double(first.dwCodec));
        bool bAudio = false;
        for (const FixtureFrame *f : r.Delivered())
            if (f->nType == DEMUX_FRAME_AUDIO) {
                bAudio = true;
                EXPECT_EQ(j["audio_codec_id"].number, double(f->dwCodec));
            }
        EXPECT_EQ(j["audio_codec"].IsNull(), !bAudio);
        if (filetest::GenDecodes(gen)) {
            // Decoded pictures: the clip's size, measured.
            const filetest::ClipSize size = filetest::SizeOf(r.clip);
            EXPECT_EQ(j["width"].number, size.wWidth);
            EXPECT_EQ(j["height"].number, size.wHeight);
            EXPECT_EQ(j["size_source"].text, "measured");
            // Frames 40 ms apart.
            EXPECT_EQ(j["frame_rate"].kind, Json::kNumber);
            EXPECT_NEAR(j["frame_rate"].number, 1000.0 / (r.Video()[1]->dwTimestamp - first.dwTimestamp),
                        0.01);
            EXPECT_EQ(j["key_frame_distance"].number, double(filetest::kGroup));
        } else {
            // Nothing decodes: the size is the container's, or unknown.
            if (!j["width"].IsNull()) {
                EXPECT_EQ(j["size_source"].text, "container");
                EXPECT_EQ(j["width"].number, first.wWidth);
            } else {
                EXPECT_TRUE(j["size_source"].IsNull());
            }
        }
        // Unknown is null, never a string saying so.
        for (const auto &[key, value] : j.fields)
            EXPECT_TRUE(value.kind != Json::kString || value.text.find("unknown") == std::string::npos)
                << key;

        // The text form says the same.
        const qvtool::RunResult text = RunQvplay({"info", path.string()});
        ASSERT_EQ(text.nExitCode, 0) << text.Describe();
        EXPECT_EQ(qvtool::LineValue(text.out, "video frames"),
                  std::to_string(r.FrameCount()) + " (from the index)");
        EXPECT_EQ(
            qvtool::LineValue(text.out, "file size").substr(0, std::to_string(r.bytes.size()).size() + 6),
            std::to_string(r.bytes.size()) + " bytes");
    }
}

// The demo recording, as the README describes it.
TEST(InspectInfoJson, DemoRecording) {
    const qvtool::RunResult run = RunQvplay({"info", "--json", qvtool::SamplesDir() + "/demo_v30.qv"});
    ASSERT_EQ(run.nExitCode, 0) << run.Describe();
    const Json j = ParseJson(run.out);
    EXPECT_EQ(j["container"].text, "V30");
    EXPECT_EQ(j["container_name"].text, "ZEMASTREAMV30");
    EXPECT_EQ(j["video_frames"].number, 375);
    EXPECT_EQ(j["duration_ms"].number, 14960);
    EXPECT_EQ(j["video_codec"].text, "H.264");
    EXPECT_EQ(j["audio_codec"].text, "G.711 A-law");
    EXPECT_EQ(j["frame_rate"].number, 25);
    EXPECT_EQ(j["frame_rate_source"].text, "measured");
    EXPECT_EQ(j["key_frame_interval_ms"].number, 1000);
    EXPECT_EQ(j["failed_pulls"].number, 0);
    EXPECT_TRUE(j["last_failure"].IsNull());
}

// ---- frames ----

TEST(FramesList, EveryGenerationListsExactlyItsFrames) {
    for (const Gen gen : kAllGens) {
        SCOPED_TRACE(filetest::GenName(gen));
        CTempDir dir;
        const FileRecording r = filetest::MakeFile(gen, 60);
        const auto path = WriteRecording(dir, r, "rec.qv");
        const qvtool::RunResult run = RunQvplay({"frames", "--json", path.string()});
        ASSERT_EQ(run.nExitCode, 0) << run.Describe();
        const FramesListing listing = ParseFrames(run.out);
        const std::vector<const FixtureFrame *> delivered = r.Delivered();
        ASSERT_EQ(listing.frames.size(), delivered.size());
        size_t video = 0, audio = 0, keys = 0;
        for (size_t i = 0; i < delivered.size(); ++i) {
            ExpectFrame(listing.frames[i], *delivered[i], i, filetest::GenName(gen), gen);
            if (delivered[i]->nType != DEMUX_FRAME_AUDIO)
                EXPECT_EQ(listing.frames[i]["video_index"].number, double(video++));
            else
                ++audio;
            keys += delivered[i]->nType == DEMUX_FRAME_I;
        }
        const Json &s = listing.summary;
        EXPECT_EQ(s["frames"].number, double(delivered.size()));
        EXPECT_EQ(s["video_frames"].number, double(video));
        EXPECT_EQ(s["audio_frames"].number, double(audio));
        EXPECT_EQ(s["i_frames"].number, double(keys));
        EXPECT_EQ(s["file_size"].number, double(r.bytes.size()));
        EXPECT_TRUE(s["complete"].b);
        EXPECT_EQ(s["failed_pulls"].number, 0);
        // The parts add up to the bytes outside frames.
        EXPECT_EQ(s["bytes_outside_frames"].number, s["bytes_before_first_frame"].number +
                                                        s["bytes_between_frames"].number +
                                                        s["bytes_after_last_frame"].number);
        if (gen == Gen::V30 || gen == Gen::V20) {
            // Frames back to back behind the file header: nothing skipped.
            EXPECT_EQ(s["bytes_before_first_frame"].number, double(r.Video().front()->ullOffset));
            EXPECT_EQ(s["bytes_between_frames"].number, 0);
            EXPECT_EQ(s["gaps"].number, 0);
        }
    }
}

// The OSD items of V10 ride in their own blocks: the title where the writer
// put it.
TEST(FramesList, V10TitleItem) {
    CTempDir dir;
    const FileRecording r = filetest::MakeFile(Gen::V10, 30);
    const auto path = WriteRecording(dir, r, "rec.qv");
    const qvtool::RunResult run = RunQvplay({"frames", "--json", path.string()});
    ASSERT_EQ(run.nExitCode, 0) << run.Describe();
    const FramesListing listing = ParseFrames(run.out);
    const V10Options defaults;
    size_t withTitle = 0;
    for (const Json &f : listing.frames)
        for (const Json &item : f["osd"].items)
            withTitle += item["kind"].text == "text" && item["text"].text == defaults.title &&
                         item["x"].number == defaults.wTitleX && item["y"].number == defaults.wTitleY;
    EXPECT_EQ(withTitle, r.Video().size()) << run.out.substr(0, 600);
}

// Items other than plain ASCII titles: a UTF-8 title (V20 carries UTF-8)
// comes out as the same UTF-8, a V30 mosaic with its box.
TEST(FramesList, OsdTextAndMosaicItems) {
    CTempDir dir;
    V20Options v20;
    v20.videoSample = filetest::kSmallClip;
    v20.wWidth = 352, v20.wHeight = 288;
    v20.dwVideoFrames = 30;
    v20.title = "Kamera S\xC3\xBC"
                "d \xE6\x97\xA5\xE6\x9C\xAC \"1\"";
    std::vector<FixtureFrame> written20;
    const auto path20 = dir.Write("v20.qv", WriteV20(v20, &written20));
    V30Options v30;
    v30.videoSample = filetest::kSmallClip;
    v30.wWidth = 352, v30.wHeight = 288;
    v30.dwVideoFrames = 30;
    v30.bMosaic = true;
    std::vector<FixtureFrame> written30;
    const auto path30 = dir.Write("v30.qv", WriteV30(v30, &written30));

    for (const auto &[path, written, gen] :
         {std::tuple{path20, &written20, Gen::V20}, std::tuple{path30, &written30, Gen::V30}}) {
        SCOPED_TRACE(filetest::GenName(gen));
        const qvtool::RunResult run = RunQvplay({"frames", "--json", path.string()});
        ASSERT_EQ(run.nExitCode, 0) << run.Describe();
        const FramesListing listing = ParseFrames(run.out);
        std::vector<const FixtureFrame *> delivered;
        for (const FixtureFrame &f : *written)
            if (f.bDelivered)
                delivered.push_back(&f);
        ASSERT_EQ(listing.frames.size(), delivered.size());
        size_t titles = 0, mosaics = 0, keys = 0;
        for (size_t i = 0; i < delivered.size(); ++i) {
            ExpectFrame(listing.frames[i], *delivered[i], i, "osd", gen);
            if (delivered[i]->nType != DEMUX_FRAME_I)
                continue;
            ++keys;
            for (const Json &item : listing.frames[i]["osd"].items) {
                titles += item["kind"].text == "text" && item["text"].text == v20.title;
                if (item["kind"].text == "mosaic") {
                    ++mosaics;
                    EXPECT_EQ(item["x"].number, 320);
                    EXPECT_EQ(item["y"].number, 240);
                    EXPECT_EQ(item["width"].number, 160);
                    EXPECT_EQ(item["height"].number, 96);
                    EXPECT_EQ(item["mode"].kind, Json::kString);
                }
            }
        }
        ASSERT_GT(keys, 0u);
        EXPECT_EQ(gen == Gen::V20 ? titles : mosaics, keys) << run.out.substr(0, 800);
        // The text form quotes the title the same way.
        const qvtool::RunResult text = RunQvplay({"frames", path.string()});
        ASSERT_EQ(text.nExitCode, 0);
        if (gen == Gen::V20) {
            EXPECT_NE(text.out.find("\"Kamera S\xC3\xBC"
                                    "d \xE6\x97\xA5\xE6\x9C\xAC \\\"1\\\"\""),
                      std::string::npos);
        } else {
            EXPECT_NE(text.out.find("mosaic@320,240 160x96"), std::string::npos);
        }
    }
}

// The text form: a heading, one line per frame with its columns, then the
// totals.
TEST(FramesList, TextColumns) {
    CTempDir dir;
    const FileRecording r = filetest::MakeFile(Gen::V30, 30);
    const auto path = WriteRecording(dir, r, "rec.qv");
    const qvtool::RunResult run = RunQvplay({"frames", path.string()});
    ASSERT_EQ(run.nExitCode, 0) << run.Describe();
    const std::vector<std::string> lines = qvtool::Lines(run.out);
    const std::vector<const FixtureFrame *> delivered = r.Delivered();
    ASSERT_GT(lines.size(), delivered.size() + 1);
    EXPECT_NE(lines[0].find("offset"), std::string::npos);
    for (size_t i = 0; i < delivered.size(); ++i) {
        const FixtureFrame &f = *delivered[i];
        char index[32], offset[32];
        std::snprintf(index, sizeof(index), "%7zu ", i);
        std::snprintf(offset, sizeof(offset), " %12llu ", static_cast<unsigned long long>(f.ullOffset));
        const std::string &line = lines[i + 1];
        EXPECT_EQ(line.rfind(index, 0), 0u) << line;
        EXPECT_NE(line.find(" " + TypeToken(f.nType) + " "), std::string::npos) << line;
        EXPECT_NE(line.find(" " + std::to_string(f.payload.size()) + "  "), std::string::npos) << line;
        if (f.nType != DEMUX_FRAME_AUDIO) {
            EXPECT_NE(line.find(offset), std::string::npos) << line;
            EXPECT_NE(line.find(TimeText(f.stTime, true)), std::string::npos) << line;
        }
        if (f.nType == DEMUX_FRAME_I) {
            EXPECT_NE(line.find("text@16,16 \"Camera 01\""), std::string::npos) << line;
        }
    }
    EXPECT_EQ(qvtool::LineValue(run.out, "frames").rfind(std::to_string(delivered.size()) + " (", 0), 0u);
    EXPECT_NE(qvtool::LineValue(run.out, "bytes outside").find(" 0 between frames in 0 gaps"),
              std::string::npos);
}

// Damage in the middle of a recording: the listing goes on past it with the
// frames behind it at their places, and the summary counts what was skipped.
struct Damage {
    const char *pszName;
    Gen gen;
    bool bInsert;   // true: bytes put in before a frame; false: a frame's bytes overwritten
    uint8_t byFill; // 0: zeros; otherwise garbage from a fixed sequence
    size_t length;  // bytes put in (insert)
};

std::vector<uint8_t> Garbage(size_t length, uint32_t seed) {
    std::vector<uint8_t> bytes(length);
    for (uint8_t &b : bytes) {
        seed = seed * 1103515245u + 12345u;
        b = static_cast<uint8_t>(seed >> 16);
    }
    return bytes;
}

TEST(FramesDamage, GoesOnPastDamage) {
    const Damage cases[] = {
        {"garbage inserted, V30", Gen::V30, true, 0xA5, 5000},
        {"zeros inserted, V30", Gen::V30, true, 0, 3000},
        {"garbage inserted, V20", Gen::V20, true, 0xA5, 4000},
        {"frame overwritten with zeros, V30", Gen::V30, false, 0, 0},
        {"frame overwritten with garbage, V20", Gen::V20, false, 0xA5, 0},
        {"garbage inserted, V10", Gen::V10, true, 0xA5, 2000},
    };
    for (const Damage &d : cases) {
        SCOPED_TRACE(d.pszName);
        CTempDir dir;
        FileRecording r = filetest::MakeFile(d.gen, 75);
        const std::vector<const FixtureFrame *> video = r.Video();
        // Damage at the 30th video frame, whose own bytes are hit when
        // overwritten.
        const FixtureFrame &hit = *video[30];
        std::vector<uint8_t> bytes = r.bytes;
        const uint64_t at = hit.ullOffset;
        size_t shift = 0;
        uint64_t damagedEnd = at;
        if (d.bInsert) {
            const std::vector<uint8_t> junk =
                d.byFill ? Garbage(d.length, 7) : std::vector<uint8_t>(d.length, uint8_t(0));
            bytes.insert(bytes.begin() + static_cast<std::ptrdiff_t>(at), junk.begin(), junk.end());
            shift = junk.size();
        } else {
            const std::vector<uint8_t> junk =
                d.byFill ? Garbage(hit.dwHeaderLength + hit.payload.size(), 9)
                         : std::vector<uint8_t>(hit.dwHeaderLength + hit.payload.size());
            std::copy(junk.begin(), junk.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at));
            damagedEnd = at + junk.size();
        }
        const auto path = dir.Write("damaged.qv", bytes);
        const qvtool::RunResult run = RunQvplay({"frames", "--json", path.string()});
        ASSERT_EQ(run.nSignal, 0) << run.Describe();
        ASSERT_EQ(run.nExitCode, 0) << run.Describe();
        const FramesListing listing = ParseFrames(run.out);
        // Every video frame before the damage at its offset, every one after
        // it at its offset moved by what was inserted.
        std::set<double> listed;
        for (const Json &f : listing.frames)
            if (!f["offset"].IsNull())
                listed.insert(f["offset"].number);
        size_t before = 0, after = 0;
        for (const FixtureFrame *f : video) {
            if (f->ullOffset < at) {
                EXPECT_TRUE(listed.count(double(f->ullOffset))) << "lost frame at " << f->ullOffset;
                ++before;
            } else if (f->ullOffset >= damagedEnd && f != &hit) {
                // The parser may need the next frame to find its feet; the
                // one after that is always found.
                after += listed.count(double(f->ullOffset + shift));
            }
        }
        const size_t behind = static_cast<size_t>(std::count_if(
            video.begin(), video.end(), [&](const FixtureFrame *f) { return f->ullOffset > at; }));
        EXPECT_GE(after + 1, behind) << "frames behind the damage were lost";
        EXPECT_LE(listing.summary["video_frames"].number, double(video.size()));
        EXPECT_GE(listing.summary["video_frames"].number, double(before + after));
        // What was skipped is counted where it was.
        const double skipped = listing.summary["bytes_between_frames"].number;
        if (d.bInsert) {
            EXPECT_GE(skipped, double(d.length));
        } else {
            EXPECT_GE(skipped, double(hit.payload.size()));
        }
        EXPECT_GE(listing.summary["gaps"].number, 1);
        EXPECT_TRUE(listing.summary["complete"].b);
    }
}

// A recording cut off inside a frame: every whole frame is listed and the
// partial one is counted as bytes after the last frame.
TEST(FramesDamage, TruncatedMidFrame) {
    for (const Gen gen : {Gen::V30, Gen::V20, Gen::V10, Gen::G15}) {
        SCOPED_TRACE(filetest::GenName(gen));
        CTempDir dir;
        const FileRecording r = filetest::MakeFile(gen, 40, false);
        const std::vector<const FixtureFrame *> video = r.Video();
        const FixtureFrame &cut = *video[20];
        const size_t keep = cut.ullOffset + cut.dwHeaderLength + cut.payload.size() / 2;
        std::vector<uint8_t> bytes(r.bytes.begin(), r.bytes.begin() + static_cast<std::ptrdiff_t>(keep));
        const auto path = dir.Write("cut.qv", bytes);
        const qvtool::RunResult run = RunQvplay({"frames", "--json", path.string()});
        ASSERT_EQ(run.nSignal, 0) << run.Describe();
        ASSERT_EQ(run.nExitCode, 0) << run.Describe();
        const FramesListing listing = ParseFrames(run.out);
        ASSERT_EQ(listing.frames.size(), 20u);
        for (size_t i = 0; i < 20; ++i)
            ExpectFrame(listing.frames[i], *video[i], i, "cut", gen);
        EXPECT_EQ(listing.summary["bytes_after_last_frame"].number, double(keep - cut.ullOffset));
        EXPECT_EQ(listing.summary["file_size"].number, double(keep));
    }
}

// ---- failures and usage ----

struct FailureCase {
    const char *pszName;
    std::vector<uint8_t> bytes; // the file's contents; empty name: no file at all
    bool bExists;
    int nExit;
    std::vector<std::string> needles; // in stderr
};

TEST(InspectErrors, ClearMessagesAndExitCodes) {
    std::vector<uint8_t> text(2000);
    const std::string readme = "# Not a recording\nJust some text that goes on for a while.\n";
    for (size_t i = 0; i < text.size(); ++i)
        text[i] = static_cast<uint8_t>(readme[i % readme.size()]);
    const FailureCase cases[] = {
        {"missing",
         {},
         false,
         3,
         {"cannot open the file", "0x8AB50021", "PLAY_E_FILE_OPEN", "check the path"}},
        {"empty", {}, true, 4, {"0 bytes", "not a recording of a known container", "PLAY_E_NOT_SUPPORTED"}},
        {"zeros", std::vector<uint8_t>(100000), true, 4, {"not a recording", "0x8AB50002"}},
        {"text", text, true, 4, {"not a recording of a known container", "PLAY_E_NOT_SUPPORTED"}},
        {"garbage", Garbage(300000, 3), true, 4, {"not a recording"}},
    };
    const std::vector<std::vector<std::string>> commands = {{"info"},
                                                            {"info", "--json"},
                                                            {"frames"},
                                                            {"frames", "--json"},
                                                            {"snapshot", "--frame", "0", "-o", ""}};
    for (const FailureCase &c : cases) {
        CTempDir dir;
        const std::string path =
            c.bExists ? dir.Write("f.qv", c.bytes).string() : dir.File("none.qv").string();
        for (std::vector<std::string> args : commands) {
            SCOPED_TRACE(std::string(c.pszName) + ": " + args[0] + (args.size() > 1 ? " " + args[1] : ""));
            if (args[0] == "snapshot")
                args.back() = dir.File("out.png").string();
            args.insert(args.begin() + 1, path);
            const qvtool::RunResult run = RunQvplay(args);
            EXPECT_EQ(run.nExitCode, c.nExit) << run.Describe();
            for (const std::string &needle : c.needles)
                EXPECT_NE(run.err.find(needle), std::string::npos)
                    << "no \"" << needle << "\" in " << run.err;
            EXPECT_TRUE(run.out.empty()) << run.out;
            EXPECT_FALSE(std::filesystem::exists(dir.File("out.png")));
        }
    }
}

// Usage errors exit with the command-line parser's own codes.
TEST(InspectErrors, UsageCodes) {
    struct Case {
        std::vector<std::string> args;
        int nExit;
    };
    const Case cases[] = {
        {{"info"}, 106},                           // FILE missing
        {{"frames"}, 106},                         //
        {{"info", "a.qv", "--bogus"}, 109},        // unknown option
        {{"frames", "a.qv", "b.qv"}, 109},         // one file only
        {{"info", "a.qv", "--timeout", "x"}, 105}, // not a number
        {{"info", "a.qv", "--timeout", "-1"}, 105},
        {{}, 106}, // no command
    };
    for (const Case &c : cases) {
        const qvtool::RunResult run = RunQvplay(c.args);
        std::string all;
        for (const std::string &a : c.args)
            all += a + " ";
        EXPECT_EQ(run.nExitCode, c.nExit) << all << run.Describe();
        EXPECT_FALSE(run.err.empty()) << all;
    }
}

// Every command says what it does, its options and an example.
TEST(InspectHelp, EveryCommandNamesItsOptions) {
    struct Case {
        const char *pszCommand;
        std::vector<std::string> options;
    };
    const Case cases[] = {
        {"version", {}},
        {"info", {"FILE", "--json", "--timeout", "--measure"}},
        {"decode", {"FILE", "--no-progress"}},
        {"frames", {"FILE", "--json", "--no-progress"}},
        {"snapshot", {"FILE", "--at", "--frame", "-o", "--output", "--timeout", "--no-progress"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.pszCommand);
        const qvtool::RunResult run = RunQvplay({c.pszCommand, "--help"});
        EXPECT_EQ(run.nExitCode, 0) << run.Describe();
        for (const std::string &option : c.options)
            EXPECT_NE(run.out.find(option), std::string::npos) << "no " << option << " in:\n" << run.out;
        EXPECT_NE(run.out.find("Example"), std::string::npos) << run.out;
        EXPECT_NE(run.out.find(std::string("qvplay ") + c.pszCommand), std::string::npos) << run.out;
    }
}

} // namespace

#endif // _WIN32
