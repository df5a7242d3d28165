// The video decoder base: the copy of the creation parameters, the colour
// setting and its coefficients, the statistics with the running speed
// estimate, and the timing of each decode. Subclasses (the software H.264
// decoder, the hardware decoder) open the real decoder and produce pictures;
// the colour and field steps and the statistics are shared here.
#pragma once

#include <cstdint>

#include <qvvdec.h>

#include "vdec/colour.h"

class CBaseVideoCodec {
public:
    CBaseVideoCodec();
    virtual ~CBaseVideoCodec();
    CBaseVideoCodec(const CBaseVideoCodec &) = delete;
    CBaseVideoCodec &operator=(const CBaseVideoCodec &) = delete;

    // Copies the parameters and resets colour and statistics; returns VDEC_OK.
    virtual int32_t Open(const VideoDecoderParam *pParam);
    // Zeroes the state; the decoder has to be opened again.
    virtual void Close();
    // One frame's payload in, at most one picture out (two-call pattern: a
    // null buffer or a size of 0 only reports the size needed). qwTag travels
    // with the frame; the picture written is that of the frame whose tag
    // lands in *pqwTag (an earlier frame's when the stream reorders).
    // Further pictures ready wait for the next calls or Drain.
    virtual int32_t Decode(const uint8_t *pData, uint32_t nLength, uint64_t qwTag, DecodedPicture *pPicture,
                           uint64_t *pqwTag) = 0;
    virtual int32_t SetColor(const PLAY_COLOR *pColor);
    // Writes the four values; the size field is left as the caller set it.
    virtual int32_t GetColor(PLAY_COLOR *pColor);
    virtual int32_t GetDecoderInfo(DecoderInfo *pInfo);
    // End of the stream: one of the pictures still held per call, with its
    // frame's tag, then VDEC_E_NO_PICTURE, after which a new stream may start
    // at a key frame. Same two-call pattern as Decode.
    virtual int32_t Drain(DecodedPicture *pPicture, uint64_t *pqwTag) = 0;
    // Each Decode call brings one whole frame (see Vdec_SetWholeFrames).
    void SetWholeFrames(bool bWholeFrames) { m_bWholeFrames = bWholeFrames; }

    // Picture size the decoder expects for its created size: field-size
    // streams (720 or 704 x 288 or 240) deliver pictures of twice the height.
    static void ExpectedSize(uint32_t width, uint32_t height, uint32_t *pWidth, uint32_t *pHeight);

protected:
    // Size query and size check shared by the decoders: VDEC_OK with
    // *pbQueryOnly set when only the size was asked for, VDEC_E_BUFFER_TOO_SMALL
    // when the buffer is short (both store the size needed), else VDEC_OK.
    int32_t CheckBuffer(DecodedPicture *pPicture, bool *pbQueryOnly) const;
    // Whether a picture of this (display) size fits the size the decoder was
    // created for, field-size streams counting at twice their height.
    bool FitsCreatedSize(uint32_t width, uint32_t height) const;
    // Starts the timing of one decode.
    void StartTiming();
    // Colour step and field step on a picture already in the caller's buffer
    // (format, width and height set); the field step's failure is returned.
    // A decoder that applied the colour step while copying the picture out
    // (ColorCopyLuma, ColorCopyChroma with m_color) passes bColorApplied.
    int32_t FinishPicture(DecodedPicture *pPicture, bool bColorApplied = false);
    // Counts one picture, adds the time since StartTiming and updates the
    // speed estimate.
    void CountPicture();

    void *m_hDecoder;          // core instance or the hardware decoder's objects
    VideoDecoderParam m_param; // as given to Open
    uint32_t m_dwBrightness;   // colour values, 0..127
    uint32_t m_dwContrast;
    uint32_t m_dwSaturation;
    uint32_t m_dwHue;
    ColorCoefficients m_color; // derived from the four values
    bool m_bWholeFrames = false;
    DecoderInfo m_info;
    uint32_t m_dwWindowPictures; // speed estimate window
    uint64_t m_ullWindowMicroseconds;
    int64_t m_nFrequency;   // counts per second of the high-resolution counter
    int64_t m_nFrequencyMs; // per millisecond
    int64_t m_nFrequencyUs; // per microsecond
    int64_t m_nDecodeStart; // counter at the start of the current decode
};

// Speed estimate window: restarted every this many pictures once a speed is
// known; no estimate before this many pictures have been timed.
constexpr uint32_t kVdecSpeedWindow = 32;
constexpr uint32_t kVdecSpeedMinPictures = 4;

// The counter the decoders time themselves with. Tests replace it to get
// exact, repeatable speeds (null restores the system counter).
using VdecCounterFunction = int64_t (*)();
void VdecSetCounterForTesting(VdecCounterFunction counter, int64_t frequency);
