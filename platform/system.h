// Dynamic loading, system information, text conversion, debugger output and
// the process error mode.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "qvtypes.h"

namespace platform {

using WString = std::basic_string<QV_WCHAR>;

class CDynamicLibrary {
public:
    CDynamicLibrary();
    ~CDynamicLibrary(); // frees
    CDynamicLibrary(const CDynamicLibrary &) = delete;
    CDynamicLibrary &operator=(const CDynamicLibrary &) = delete;

    bool Load(const char *fileName);
    void Free();
    bool IsLoaded() const;
    void *Symbol(const char *name) const; // null when absent

private:
    void *m_module;
};

// Major version of the operating system (Windows: 5 = XP, 6 = Vista to 8.1,
// 10; elsewhere the kernel's major version).
uint32_t OsMajorVersion();
uint32_t ProcessorCount();

// User interface language id (0x804 Chinese (PRC), 0x409 English (US), ...).
// Elsewhere derived from LANG. A non-zero override replaces it (tests).
uint16_t UserInterfaceLanguage();
void SetUserInterfaceLanguageOverride(uint16_t languageId);

// Text conversion to UTF-16. The ANSI code page is the system's on Windows
// and UTF-8 elsewhere. Invalid input gives false and an empty result.
bool AnsiToWide(std::string_view text, WString &out);
bool Utf8ToWide(std::string_view text, WString &out);
bool WideToUtf8(const QV_WCHAR *text, size_t length, std::string &out);
size_t WideLength(const QV_WCHAR *text);

// One line to the debugger output (OutputDebugStringW on Windows; stderr
// elsewhere, only when QVPLAY_DEBUG_OUTPUT is set in the environment).
void DebugOutput(const QV_WCHAR *text);
void DebugOutput(const char *utf8Text);

// Sets the process error mode to fail critical errors and returns the
// previous mode; RestoreErrorMode puts it back. No effect outside Windows.
uint32_t SetFailCriticalErrors();
void RestoreErrorMode(uint32_t previous);

} // namespace platform
