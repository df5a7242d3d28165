// Shared by the two halves of the test driver: the export macro, the
// switch/counter interface, and the picture parameters the fake parser hands
// to the fake decoder (the real layout is the driver's own business; the
// decoder under test only passes the pointer on).
#pragma once

#include <cstdint>

#include "vdec/cudaapi.h"

#ifdef _WIN32
#define FAKE_EXPORT extern "C" __declspec(dllexport)
#else
#define FAKE_EXPORT extern "C" __attribute__((visibility("default")))
#endif

// The files of the two libraries, under the names the hardware decoder loads.
#ifdef _WIN32
constexpr const char *kFakeCudaFile = "nvcuda.dll";
constexpr const char *kFakeCuvidFile = "nvcuvid.dll";
#else
constexpr const char *kFakeCudaFile = "libcuda.so.1";
constexpr const char *kFakeCuvidFile = "libnvcuvid.so.1";
#endif

struct CUVIDPICPARAMS {
    uint32_t dwMagic; // kFakePicMagic
    int nCurrPicIdx;
    const uint8_t *pY;
    const uint8_t *pU;
    const uint8_t *pV;
    uint32_t dwWidth;
    uint32_t dwHeight;
    int32_t nLumaStride;
    int32_t nChromaStride;
};
constexpr uint32_t kFakePicMagic = 0x46414B45;

// Each library exports a setter for its switches and a getter for its
// switches and counters, by name (unknown names read 0 and set nothing).
using PFN_FakeSet = void (*)(const char *name, long long value);
using PFN_FakeGet = long long (*)(const char *name);
// Back to the defaults, counters zeroed.
using PFN_FakeReset = void (*)();
