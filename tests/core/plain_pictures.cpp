// Most player tests compare decoded pictures with ffmpeg's checksums of the
// same stream, while the fixture recordings carry on-screen-display items.
// This program therefore draws no items unless a test asks for the renderer
// (UseSystemOsd in player_test_util.h).
#include "player_test_util.h"

namespace {

const bool kPlainPictures = (playtest::UsePlainPictures(), true);

} // namespace
