// File player of the 6000 generation: the whole file goes into the parser at
// open and is indexed at once; reading, key-frame searches and group loads
// move the parser's cursor instead of reading the file again.
#pragma once

#include "core/filemode.h"

// The recorders of this generation write 25 frames a second.
constexpr float kFile6000FrameRate = 25.0f;

class CFileMode6000 : public CFileMode {
public:
    CFileMode6000();
    ~CFileMode6000() override;

    int32_t Open(const PLAY_CREATE_PARAM *pParam) override;
    int32_t InitAttributes() override;

protected:
    // Reading moves the parser's cursor instead of reading the file.
    int32_t PositionReader(uint64_t ullOffset) override;
    int32_t NextParsedFrame(FrameRecord **ppRecord) override;
    void AccountRead(const FrameRecord *pRecord) override;
    bool MoreToRead() override;
};
