// Dynamic loading, system information, text conversion, debugger output and
// the process error mode over their Win32 calls.
#include "platform/system.h"

#include <atomic>
#include <climits>
#include <cwchar>

namespace platform {

CDynamicLibrary::CDynamicLibrary() : m_module(nullptr) {}

CDynamicLibrary::~CDynamicLibrary() {
    Free();
}

bool CDynamicLibrary::Load(const char *fileName) {
    Free();
    if (!fileName || !fileName[0])
        return false;
    m_module = LoadLibraryA(fileName);
    return m_module != nullptr;
}

void CDynamicLibrary::Free() {
    if (m_module) {
        FreeLibrary(static_cast<HMODULE>(m_module));
        m_module = nullptr;
    }
}

bool CDynamicLibrary::IsLoaded() const {
    return m_module != nullptr;
}

void *CDynamicLibrary::Symbol(const char *name) const {
    if (!m_module || !name)
        return nullptr;
    return reinterpret_cast<void *>(GetProcAddress(static_cast<HMODULE>(m_module), name));
}

uint32_t OsMajorVersion() {
    // GetVersionEx reports 6.2 to a program without a compatibility manifest
    // (as a DLL's host may well be); RtlGetVersion tells the truth.
    static const uint32_t major = [] {
        using RtlGetVersionFn = LONG(WINAPI *)(OSVERSIONINFOW *);
        OSVERSIONINFOW info{};
        info.dwOSVersionInfoSize = sizeof(info);
        if (HMODULE ntdll = GetModuleHandleW(L"ntdll.dll")) {
            auto query = reinterpret_cast<RtlGetVersionFn>(
                reinterpret_cast<void *>(GetProcAddress(ntdll, "RtlGetVersion")));
            if (query && query(&info) == 0)
                return static_cast<uint32_t>(info.dwMajorVersion);
        }
        return static_cast<uint32_t>(LOBYTE(LOWORD(GetVersion())));
    }();
    return major;
}

uint32_t ProcessorCount() {
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return info.dwNumberOfProcessors ? info.dwNumberOfProcessors : 1;
}

namespace {

std::atomic<uint16_t> g_languageOverride{0};

bool ToWide(UINT codePage, std::string_view text, WString &out) {
    out.clear();
    if (text.empty())
        return true;
    if (text.size() > INT_MAX)
        return false;
    int length = static_cast<int>(text.size());
    int needed = MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, text.data(), length, nullptr, 0);
    if (needed <= 0)
        return false;
    out.resize(static_cast<size_t>(needed));
    if (MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, text.data(), length, out.data(), needed) !=
        needed) {
        out.clear();
        return false;
    }
    return true;
}

} // namespace

uint16_t UserInterfaceLanguage() {
    uint16_t forced = g_languageOverride.load(std::memory_order_relaxed);
    return forced ? forced : GetUserDefaultUILanguage();
}

void SetUserInterfaceLanguageOverride(uint16_t languageId) {
    g_languageOverride.store(languageId, std::memory_order_relaxed);
}

bool AnsiToWide(std::string_view text, WString &out) {
    return ToWide(CP_ACP, text, out);
}

bool Utf8ToWide(std::string_view text, WString &out) {
    return ToWide(CP_UTF8, text, out);
}

bool WideToUtf8(const QV_WCHAR *text, size_t length, std::string &out) {
    out.clear();
    if (length == 0)
        return true;
    if (!text || length > INT_MAX)
        return false;
    int count = static_cast<int>(length);
    int needed =
        WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text, count, nullptr, 0, nullptr, nullptr);
    if (needed <= 0)
        return false;
    out.resize(static_cast<size_t>(needed));
    if (WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text, count, out.data(), needed, nullptr,
                            nullptr) != needed) {
        out.clear();
        return false;
    }
    return true;
}

size_t WideLength(const QV_WCHAR *text) {
    return text ? wcslen(text) : 0;
}

void DebugOutput(const QV_WCHAR *text) {
    if (text)
        OutputDebugStringW(text);
}

void DebugOutput(const char *utf8Text) {
    if (!utf8Text)
        return;
    WString wide;
    if (Utf8ToWide(utf8Text, wide))
        OutputDebugStringW(wide.c_str());
    else
        OutputDebugStringA(utf8Text);
}

uint32_t SetFailCriticalErrors() {
    return SetErrorMode(SEM_FAILCRITICALERRORS);
}

void RestoreErrorMode(uint32_t previous) {
    SetErrorMode(previous);
}

} // namespace platform
