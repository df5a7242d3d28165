// Dynamic loading, system information, text conversion and the debugger
// output.
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "platform/system.h"
#include "test_util.h"

using namespace platform;

namespace {

struct LibraryCase {
    const char *file;
    const char *symbol; // present in it
    bool loads;
};

#ifdef _WIN32
const LibraryCase kLibraries[] = {
    {"kernel32.dll", "GetTickCount", true},
    {"qvplay_no_such_library.dll", nullptr, false},
    {"", nullptr, false},
};
#else
const LibraryCase kLibraries[] = {
    {"libc.so.6", "strlen", true},
    {"libm.so.6", "cos", true},
    {"libqvplay_no_such_library.so.1", nullptr, false},
    {"", nullptr, false},
};
#endif

TEST(DynamicLibrary, LoadsAndFindsEntryPoints) {
    for (const LibraryCase &c : kLibraries) {
        SCOPED_TRACE(c.file);
        CDynamicLibrary library;
        EXPECT_EQ(library.Load(c.file), c.loads);
        EXPECT_EQ(library.IsLoaded(), c.loads);
        if (c.loads) {
            EXPECT_NE(library.Symbol(c.symbol), nullptr);
            EXPECT_EQ(library.Symbol("qvplay_no_such_entry_point"), nullptr);
            EXPECT_EQ(library.Symbol(nullptr), nullptr);
        }
        library.Free();
        EXPECT_FALSE(library.IsLoaded());
        EXPECT_EQ(library.Symbol(c.symbol ? c.symbol : "x"), nullptr);
    }
    CDynamicLibrary none;
    EXPECT_FALSE(none.Load(nullptr));
}

#ifndef _WIN32
TEST(DynamicLibrary, EntryPointIsCallable) {
    CDynamicLibrary library;
    ASSERT_TRUE(library.Load("libm.so.6"));
    auto cosine = reinterpret_cast<double (*)(double)>(library.Symbol("cos"));
    ASSERT_NE(cosine, nullptr);
    EXPECT_DOUBLE_EQ(cosine(0.0), 1.0);
}
#endif

TEST(SystemInfo, VersionAndProcessors) {
    EXPECT_GE(ProcessorCount(), 1u);
    EXPECT_LT(ProcessorCount(), 100000u);
    EXPECT_GT(OsMajorVersion(), 0u);
    EXPECT_LT(OsMajorVersion(), 1000u);
}

TEST(SystemInfo, LanguageOverrideRoundTrip) {
    const uint16_t system = UserInterfaceLanguage();
    EXPECT_NE(system, 0);
    const uint16_t ids[] = {0x804, 0x409, 0x404, 0x411};
    for (uint16_t id : ids) {
        SetUserInterfaceLanguageOverride(id);
        EXPECT_EQ(UserInterfaceLanguage(), id);
    }
    SetUserInterfaceLanguageOverride(0);
    EXPECT_EQ(UserInterfaceLanguage(), system);
}

#ifndef _WIN32
// Sets locale variables for one test and restores them afterwards.
class CLocaleEnvironment {
public:
    CLocaleEnvironment() {
        for (int i = 0; i < 3; ++i) {
            const char *value = std::getenv(kNames[i]);
            m_had[i] = value != nullptr;
            if (value)
                m_saved[i] = value;
        }
    }
    ~CLocaleEnvironment() {
        for (int i = 0; i < 3; ++i) {
            if (m_had[i])
                setenv(kNames[i], m_saved[i].c_str(), 1);
            else
                unsetenv(kNames[i]);
        }
    }
    void Set(const char *lcAll, const char *lcMessages, const char *lang) {
        const char *values[] = {lcAll, lcMessages, lang};
        for (int i = 0; i < 3; ++i) {
            if (values[i])
                setenv(kNames[i], values[i], 1);
            else
                unsetenv(kNames[i]);
        }
    }

private:
    static constexpr const char *kNames[3] = {"LC_ALL", "LC_MESSAGES", "LANG"};
    bool m_had[3] = {};
    std::string m_saved[3];
};

TEST(SystemInfo, LanguageFromTheLocale) {
    struct Case {
        const char *lcAll;
        const char *lcMessages;
        const char *lang;
        uint16_t expected;
    } cases[] = {
        {nullptr, nullptr, "zh_CN.UTF-8", 0x804},
        {nullptr, nullptr, "zh_TW.UTF-8", 0x404},
        {nullptr, nullptr, "zh_HK", 0xC04},
        {nullptr, nullptr, "en_US.UTF-8", 0x409},
        {nullptr, nullptr, "en_GB.UTF-8", 0x809},
        {nullptr, nullptr, "ja_JP.eucJP", 0x411},
        {nullptr, nullptr, "de_DE.UTF-8@euro", 0x407},
        {nullptr, nullptr, "zh", 0x804},
        {nullptr, nullptr, "fr_LU.UTF-8", 0x40C},
        {nullptr, nullptr, "C", 0x409},
        {nullptr, nullptr, "POSIX", 0x409},
        {nullptr, nullptr, "xx_YY.UTF-8", 0x409},
        {nullptr, nullptr, nullptr, 0x409},
        {nullptr, nullptr, "", 0x409},
        {"zh_CN.UTF-8", nullptr, "en_US.UTF-8", 0x804},
        {nullptr, "zh_TW.UTF-8", "en_US.UTF-8", 0x404},
        {"", "ko_KR.UTF-8", "en_US.UTF-8", 0x412},
    };
    CLocaleEnvironment environment;
    SetUserInterfaceLanguageOverride(0);
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message()
                     << (c.lcAll ? c.lcAll : "-") << " / " << (c.lcMessages ? c.lcMessages : "-") << " / "
                     << (c.lang ? c.lang : "-"));
        environment.Set(c.lcAll, c.lcMessages, c.lang);
        EXPECT_EQ(UserInterfaceLanguage(), c.expected);
    }
    // The override wins over the locale.
    environment.Set(nullptr, nullptr, "zh_CN.UTF-8");
    SetUserInterfaceLanguageOverride(0x409);
    EXPECT_EQ(UserInterfaceLanguage(), 0x409);
    SetUserInterfaceLanguageOverride(0);
}
#endif

// ---------------------------------------------------------------------------

struct Utf8Case {
    const char *name;
    std::string utf8;
    WString utf16;
};

TEST(TextConversion, Utf8ToUtf16) {
    const Utf8Case cases[] = {
        {"empty", "", WString()},
        {"ASCII", "abc 123", qvtest::Widen("abc 123")},
        {"two-byte", "t\xC3\xA9st", WString{QV_WCHAR('t'), QV_WCHAR(0xE9), QV_WCHAR('s'), QV_WCHAR('t')}},
        {"three-byte", "\xE6\x97\xA5\xE6\x9C\xAC", WString{QV_WCHAR(0x65E5), QV_WCHAR(0x672C)}},
        {"surrogate pair", "\xF0\x9F\x98\x80", WString{QV_WCHAR(0xD83D), QV_WCHAR(0xDE00)}},
        {"highest code point", "\xF4\x8F\xBF\xBF", WString{QV_WCHAR(0xDBFF), QV_WCHAR(0xDFFF)}},
        {"last before surrogates", "\xED\x9F\xBF", WString{QV_WCHAR(0xD7FF)}},
        {"embedded zero", std::string("a\0b", 3), WString{QV_WCHAR('a'), QV_WCHAR(0), QV_WCHAR('b')}},
    };
    for (const Utf8Case &c : cases) {
        SCOPED_TRACE(c.name);
        WString wide = qvtest::Widen("junk");
        ASSERT_TRUE(Utf8ToWide(c.utf8, wide));
        EXPECT_TRUE(wide == c.utf16);
        // And back.
        std::string back = "junk";
        ASSERT_TRUE(WideToUtf8(wide.data(), wide.size(), back));
        EXPECT_EQ(back, c.utf8);
    }
}

TEST(TextConversion, InvalidUtf8IsRejected) {
    const Utf8Case cases[] = {
        {"truncated two-byte", "a\xC3", {}},         {"truncated four-byte", "\xF0\x9F\x98", {}},
        {"stray continuation", "\x80", {}},          {"overlong slash", "\xC0\xAF", {}},
        {"overlong three-byte", "\xE0\x80\xAF", {}}, {"encoded surrogate", "\xED\xA0\x80", {}},
        {"above U+10FFFF", "\xF4\x90\x80\x80", {}},  {"invalid byte", "ab\xFF", {}},
        {"continuation missing", "\xE6\x97x", {}},
    };
    for (const Utf8Case &c : cases) {
        SCOPED_TRACE(c.name);
        WString wide = qvtest::Widen("junk");
        EXPECT_FALSE(Utf8ToWide(c.utf8, wide));
        EXPECT_TRUE(wide.empty());
    }
}

TEST(TextConversion, LoneSurrogatesDoNotBecomeUtf8) {
    const WString cases[] = {
        WString{QV_WCHAR('a'), QV_WCHAR(0xD83D)},
        WString{QV_WCHAR(0xDE00), QV_WCHAR('a')},
        WString{QV_WCHAR(0xD83D), QV_WCHAR('a')},
    };
    for (const WString &c : cases) {
        std::string out = "junk";
        EXPECT_FALSE(WideToUtf8(c.data(), c.size(), out));
        EXPECT_TRUE(out.empty());
    }
    std::string out;
    EXPECT_FALSE(WideToUtf8(nullptr, 3, out));
    EXPECT_TRUE(WideToUtf8(nullptr, 0, out));
    EXPECT_TRUE(out.empty());
}

TEST(TextConversion, AnsiAsciiAndWideLength) {
    WString wide;
    ASSERT_TRUE(AnsiToWide("Channel 01", wide));
    EXPECT_TRUE(wide == qvtest::Widen("Channel 01"));
#ifndef _WIN32
    // The ANSI code page is UTF-8 here.
    ASSERT_TRUE(AnsiToWide("\xE9\x80\x9A\xE9\x81\x93", wide));
    EXPECT_TRUE(wide == (WString{QV_WCHAR(0x901A), QV_WCHAR(0x9053)}));
#endif
    const WString text = qvtest::Widen("abcdef");
    EXPECT_EQ(WideLength(text.c_str()), 6u);
    EXPECT_EQ(WideLength(nullptr), 0u);
    EXPECT_EQ(WideLength(WString().c_str()), 0u);
}

// ---------------------------------------------------------------------------

#ifndef _WIN32
TEST(DebugOutput, WritesOneLineOnlyWhenAskedTo) {
    const char *saved = std::getenv("QVPLAY_DEBUG_OUTPUT");
    std::string savedValue = saved ? saved : "";

    unsetenv("QVPLAY_DEBUG_OUTPUT");
    testing::internal::CaptureStderr();
    DebugOutput("not shown");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

    setenv("QVPLAY_DEBUG_OUTPUT", "1", 1);
    testing::internal::CaptureStderr();
    DebugOutput("EXCEPTION_ACCESS_VIOLATION occurs in CopyPicture!\n");
    const WString wide{QV_WCHAR('w'), QV_WCHAR(0xE9), QV_WCHAR('!')};
    DebugOutput(wide.c_str());
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "EXCEPTION_ACCESS_VIOLATION occurs in CopyPicture!\nw\xC3\xA9!\n");

    if (saved)
        setenv("QVPLAY_DEBUG_OUTPUT", savedValue.c_str(), 1);
    else
        unsetenv("QVPLAY_DEBUG_OUTPUT");
}
#endif

TEST(ErrorMode, FailCriticalErrorsIsSetAndRestored) {
    const uint32_t original = SetFailCriticalErrors();
    const uint32_t whileSet = SetFailCriticalErrors();
#ifdef _WIN32
    EXPECT_NE(whileSet & SEM_FAILCRITICALERRORS, 0u);
#else
    EXPECT_EQ(whileSet, 0u);
    EXPECT_EQ(original, 0u);
#endif
    RestoreErrorMode(original);
#ifdef _WIN32
    EXPECT_EQ(SetFailCriticalErrors(), original);
    RestoreErrorMode(original);
#endif
}

} // namespace
