// Play_GetVersion: the only core call that needs no player.
#include <cstring>

#include <gtest/gtest.h>

#include "qvplay.h"

TEST(PlayGetVersion, NullRecordIsRejected) {
    EXPECT_EQ(Play_GetVersion(nullptr), static_cast<int32_t>(0x8AB50012));
}

TEST(PlayGetVersion, WritesVersionAndBuild) {
    // Start from a pattern that matches neither value, so that both fields
    // must really be written.
    PLAY_VERSION version;
    std::memset(&version, 0xA5, sizeof(version));

    ASSERT_EQ(Play_GetVersion(&version), 0);
    EXPECT_EQ(version.dwVersion, 1u);
    EXPECT_EQ(version.dwBuild, 0x0A0107DCu);
}
