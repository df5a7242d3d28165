// The hardware H.264 decoder on an NVIDIA card: the CUDA driver and the video
// decoder libraries are loaded at run time (a machine without them only loses
// this decoder), one context per process is shared by all instances, and the
// pictures come back as NV12 through a page-locked host buffer, at the
// stream's display size. Every frame is sent as a whole picture with its tag
// as time stamp, so each picture leaves with the tag of its own frame. All
// decoders on the machine share one speed measurement (vdec/cudaspeed.h).
#pragma once

#include <deque>
#include <string>

#include "platform/shared.h"
#include "vdec/basevideocodec.h"
#include "vdec/cudaapi.h"
#include "vdec/cudaspeed.h"

class CCodecCuda : public CBaseVideoCodec {
public:
    CCodecCuda();
    ~CCodecCuda() override;

    int32_t Open(const VideoDecoderParam *pParam) override;
    void Close() override;
    int32_t Decode(const uint8_t *pData, uint32_t nLength, uint64_t qwTag, DecodedPicture *pPicture,
                   uint64_t *pqwTag) override;
    int32_t Drain(DecodedPicture *pPicture, uint64_t *pqwTag) override;

    // Largest picture the hardware decoder takes.
    static constexpr uint32_t kMaxWidth = 1920;
    static constexpr uint32_t kMaxHeight = 1088;
    // Machine-wide speeds below this (but measured) make new decoders refuse.
    static constexpr uint32_t kMinSpeed = 90;

private:
    static int QV_CUDAAPI OnSequence(void *pUser, CUVIDEOFORMAT *pFormat);
    static int QV_CUDAAPI OnDecode(void *pUser, CUVIDPICPARAMS *pParams);
    static int QV_CUDAAPI OnDisplay(void *pUser, CUVIDPARSERDISPINFO *pInfo);

    // Takes the head of the display queue into the caller's buffer.
    int32_t TakePicture(DecodedPicture *pPicture, uint64_t *pqwTag);
    int32_t HandOut(DecodedPicture *pPicture);
    bool CopySurface(const CUVIDPARSERDISPINFO &display, DecodedPicture *pPicture);
    void PublishSpeed();

    CUvideodecoder m_hCuvidDecoder;
    CUvideoparser m_hParser;
    uint32_t m_dwCodedWidth; // the created size in whole macroblocks
    uint32_t m_dwCodedHeight;
    // The part of the coded picture the stream shows (its cropping), as the
    // sequence announced it: columns and rows [left, right) x [top, bottom).
    uint32_t m_dwDisplayLeft;
    uint32_t m_dwDisplayTop;
    uint32_t m_dwDisplayRight;
    uint32_t m_dwDisplayBottom;
    bool m_bEndOfStreamSent; // a drain flushed the parser; no data since
    void *m_pHostBuffer;     // page-locked, kept between calls
    size_t m_nHostBufferSize;
    std::deque<CUVIDPARSERDISPINFO> m_displayQueue;
    CCudaSpeedRecord m_speedRecord;
    platform::CNamedMutex m_speedMutex;
};

// Test hooks: the libraries and the shared names the next process-wide
// set-up uses (taking effect once no instance exists). Null fields, or a null
// record, mean the real names. The product never calls this.
struct CudaTestOverrides {
    const char *pszCudaLibrary;
    const char *pszCuvidLibrary;
    const char *pszSpeedMapping;
    const char *pszSpeedMutex;
};
void CudaSetTestOverrides(const CudaTestOverrides *pOverrides);

// Whether the process-wide set-up found the libraries, a usable device and a
// context (false while no instance exists).
bool CudaIsAvailable();
