// Files: writing and reading back, 64-bit positions, shared access, paths
// that cannot be opened and paths beyond ASCII.
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/file.h"
#include "platform/system.h"
#include "test_util.h"

using namespace platform;
using qvtest::CTempFile;
using qvtest::UniqueName;
using qvtest::Widen;

namespace {

constexpr uint32_t kBlock = 0x40000;

std::vector<uint8_t> Pattern(size_t bytes, uint32_t seed) {
    std::vector<uint8_t> data(bytes);
    uint32_t x = seed * 2654435761u + 1;
    for (uint8_t &b : data) {
        x = x * 1664525u + 1013904223u;
        b = uint8_t(x >> 24);
    }
    return data;
}

TEST(File, WriteAndReadBackInBlocks) {
    CTempFile path(Widen(UniqueName("qvplay_file") + ".bin"));
    const std::vector<uint8_t> data = Pattern(kBlock + 12345, 1);

    CFile file;
    EXPECT_FALSE(file.IsOpen());
    ASSERT_TRUE(file.Open(path.c_str(), kFileRead | kFileWrite | kFileCreate));
    EXPECT_TRUE(file.IsOpen());
    EXPECT_EQ(file.Size(), 0);
    EXPECT_EQ(file.Write(data.data(), uint32_t(data.size())), int64_t(data.size()));
    EXPECT_EQ(file.Tell(), int64_t(data.size()));
    EXPECT_EQ(file.Size(), int64_t(data.size()));
    file.Close();
    EXPECT_FALSE(file.IsOpen());

    // Read with the sequential hint, in blocks as the players read.
    ASSERT_TRUE(file.Open(path.c_str(), kFileRead | kFileSequential));
    EXPECT_EQ(file.Size(), int64_t(data.size()));
    std::vector<uint8_t> back(kBlock);
    ASSERT_EQ(file.Read(back.data(), kBlock), int64_t(kBlock));
    EXPECT_EQ(std::memcmp(back.data(), data.data(), kBlock), 0);
    ASSERT_EQ(file.Read(back.data(), kBlock), 12345);
    EXPECT_EQ(std::memcmp(back.data(), data.data() + kBlock, 12345), 0);
    EXPECT_EQ(file.Read(back.data(), kBlock), 0) << "read at the end";

    // Back to a position inside the file.
    ASSERT_TRUE(file.Seek(1000));
    EXPECT_EQ(file.Tell(), 1000);
    ASSERT_EQ(file.Read(back.data(), 16), 16);
    EXPECT_EQ(std::memcmp(back.data(), data.data() + 1000, 16), 0);
    EXPECT_FALSE(file.Seek(-1));
    // A read-only file cannot be written.
    EXPECT_EQ(file.Write(data.data(), 4), -1);
    file.Close();

    // Creating an existing file empties it.
    ASSERT_TRUE(file.Open(path.c_str(), kFileWrite | kFileCreate));
    EXPECT_EQ(file.Size(), 0);
}

TEST(File, PositionsBeyondFourGigabytes) {
    CTempFile path(Widen(UniqueName("qvplay_big") + ".bin"));
    CFile file;
    ASSERT_TRUE(file.Open(path.c_str(), kFileRead | kFileWrite | kFileCreate));

    // Two places whose low 32 bits are equal: a position cut to 32 bits
    // would mix them up. The file stays sparse.
    const int64_t low = 0x10;
    const int64_t high = (int64_t(1) << 32) + 0x10;
    const int64_t end = (int64_t(5) << 30) + 123;
    struct Write {
        int64_t position;
        const char *text;
    } writes[] = {{low, "low!"}, {high, "HIGH"}, {end - 4, "last"}};
    for (const Write &w : writes) {
        SCOPED_TRACE(w.text);
        ASSERT_TRUE(file.Seek(w.position));
        EXPECT_EQ(file.Tell(), w.position);
        ASSERT_EQ(file.Write(w.text, 4), 4);
        EXPECT_EQ(file.Tell(), w.position + 4);
    }
    EXPECT_EQ(file.Size(), end);
    for (const Write &w : writes) {
        SCOPED_TRACE(w.text);
        char back[4] = {};
        ASSERT_TRUE(file.Seek(w.position));
        ASSERT_EQ(file.Read(back, 4), 4);
        EXPECT_EQ(std::memcmp(back, w.text, 4), 0);
    }

    // Cut the file just past 4 GiB, keeping the first byte written there.
    const int64_t cut = high + 1;
    ASSERT_TRUE(file.Seek(cut));
    ASSERT_TRUE(file.SetEnd());
    EXPECT_EQ(file.Size(), cut);
    EXPECT_EQ(file.Tell(), cut);
    char byte = 0;
    EXPECT_EQ(file.Read(&byte, 1), 0);
    ASSERT_TRUE(file.Seek(high));
    ASSERT_EQ(file.Read(&byte, 1), 1);
    EXPECT_EQ(byte, 'H');
    EXPECT_EQ(file.Read(&byte, 1), 0);

    // And back to nothing.
    ASSERT_TRUE(file.Seek(0));
    ASSERT_TRUE(file.SetEnd());
    EXPECT_EQ(file.Size(), 0);
}

TEST(File, ReadableWhileAnotherHandleWrites) {
    CTempFile path(Widen(UniqueName("qvplay_shared") + ".bin"));
    const std::vector<uint8_t> data = Pattern(3000, 2);

    CFile writer;
    ASSERT_TRUE(writer.Open(path.c_str(), kFileWrite | kFileCreate));
    ASSERT_EQ(writer.Write(data.data(), 1000), 1000);

    CFile reader;
    ASSERT_TRUE(reader.Open(path.c_str(), kFileRead | kFileSequential));
    std::vector<uint8_t> back(3000);
    ASSERT_EQ(reader.Read(back.data(), 3000), 1000);
    EXPECT_EQ(std::memcmp(back.data(), data.data(), 1000), 0);

    // The writer goes on; the reader sees the growth.
    ASSERT_EQ(writer.Write(data.data() + 1000, 2000), 2000);
    EXPECT_EQ(reader.Size(), 3000);
    ASSERT_EQ(reader.Read(back.data() + 1000, 2000), 2000);
    EXPECT_EQ(back, data);

    // A second writer may open it as well.
    CFile second;
    ASSERT_TRUE(second.Open(path.c_str(), kFileRead | kFileWrite));
    EXPECT_EQ(second.Size(), 3000);
}

TEST(File, PathsThatCannotBeOpenedFail) {
    const platform::WString missingDir = qvtest::TempPath(Widen(UniqueName("qvplay_no_dir")));
    const platform::WString inMissingDir = missingDir + Widen("/file.bin");
    const platform::WString missingFile = qvtest::TempPath(Widen(UniqueName("qvplay_missing") + ".bin"));
    const platform::WString directory = qvtest::TempPath(Widen(""));
    const platform::WString empty;
    struct Case {
        const char *name;
        const QV_WCHAR *path;
        uint32_t flags;
    } cases[] = {
        {"missing file for reading", missingFile.c_str(), kFileRead},
        {"missing file with the sequential hint", missingFile.c_str(), kFileRead | kFileSequential},
        {"missing file for writing", missingFile.c_str(), kFileWrite},
        {"created in a missing folder", inMissingDir.c_str(), kFileWrite | kFileCreate},
        {"a folder", directory.c_str(), kFileRead},
        {"empty path", empty.c_str(), kFileRead},
        {"null path", nullptr, kFileRead | kFileWrite | kFileCreate},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        CFile file;
        EXPECT_FALSE(file.Open(c.path, c.flags));
        EXPECT_FALSE(file.IsOpen());
        char buffer[4] = {};
        EXPECT_EQ(file.Read(buffer, 4), -1);
        EXPECT_EQ(file.Write(buffer, 4), -1);
        EXPECT_FALSE(file.Seek(0));
        EXPECT_EQ(file.Tell(), -1);
        EXPECT_EQ(file.Size(), -1);
        EXPECT_FALSE(file.SetEnd());
    }
    std::error_code ec;
    EXPECT_FALSE(std::filesystem::exists(qvtest::ToPath(missingFile), ec));
}

TEST(File, PathBeyondAscii) {
    const std::string unique = UniqueName("_qv");
#ifdef _WIN32
    const platform::WString name = std::wstring(L"t\u00e9st_\u65e5\u672c") + Widen(unique) + L".bin";
#else
    platform::WString name;
    ASSERT_TRUE(AnsiToWide("t\xC3\xA9st_\xE6\x97\xA5\xE6\x9C\xAC" + unique + ".bin", name));
#endif
    CTempFile path(name);
    CFile file;
    ASSERT_TRUE(file.Open(path.c_str(), kFileRead | kFileWrite | kFileCreate));
    ASSERT_EQ(file.Write("data", 4), 4);
    file.Close();
    ASSERT_TRUE(file.Open(path.c_str(), kFileRead));
    char back[8] = {};
    EXPECT_EQ(file.Read(back, 8), 4);
    EXPECT_EQ(std::memcmp(back, "data", 4), 0);
    file.Close();

    // The name on disk is the one asked for, as UTF-8 through the standard
    // library, not a mangled form.
    std::string expected = "t\xC3\xA9st_\xE6\x97\xA5\xE6\x9C\xAC" + unique + ".bin";
    bool found = false;
    std::error_code ec;
    for (const auto &entry :
         std::filesystem::directory_iterator(qvtest::ToPath(path.Path()).parent_path(), ec)) {
        std::u8string u8 = entry.path().filename().u8string();
        if (std::string(u8.begin(), u8.end()) == expected)
            found = true;
    }
    EXPECT_TRUE(found);
}

} // namespace
