// Dynamic loading, system information, UTF-8/UTF-16 conversion and the
// debugger output on Linux. The ANSI code page here is UTF-8.
#include "platform/system.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <dlfcn.h>
#include <sys/utsname.h>
#include <unistd.h>

namespace platform {

CDynamicLibrary::CDynamicLibrary() : m_module(nullptr) {}

CDynamicLibrary::~CDynamicLibrary() {
    Free();
}

bool CDynamicLibrary::Load(const char *fileName) {
    Free();
    if (!fileName || !*fileName)
        return false;
    m_module = dlopen(fileName, RTLD_NOW | RTLD_LOCAL);
    return m_module != nullptr;
}

void CDynamicLibrary::Free() {
    if (m_module) {
        dlclose(m_module);
        m_module = nullptr;
    }
}

bool CDynamicLibrary::IsLoaded() const {
    return m_module != nullptr;
}

void *CDynamicLibrary::Symbol(const char *name) const {
    if (!m_module || !name)
        return nullptr;
    return dlsym(m_module, name);
}

// ---------------------------------------------------------------------------

uint32_t OsMajorVersion() {
    utsname info;
    if (uname(&info) != 0)
        return 0;
    return uint32_t(std::strtoul(info.release, nullptr, 10));
}

uint32_t ProcessorCount() {
    long count = sysconf(_SC_NPROCESSORS_ONLN);
    return count > 0 ? uint32_t(count) : 1;
}

namespace {

std::atomic<uint16_t> g_languageOverride{0};

constexpr uint16_t kLanguageEnglishUs = 0x409;

struct LocaleLanguage {
    const char *locale; // "ll_CC", or "ll" for the language's usual country
    uint16_t languageId;
};

const LocaleLanguage kLocaleLanguages[] = {
    {"zh_CN", 0x804}, {"zh_SG", 0x1004}, {"zh_TW", 0x404},  {"zh_HK", 0xC04}, {"zh_MO", 0x1404},
    {"zh", 0x804},    {"en_US", 0x409},  {"en_GB", 0x809},  {"en_AU", 0xC09}, {"en_CA", 0x1009},
    {"en", 0x409},    {"ja_JP", 0x411},  {"ja", 0x411},     {"ko_KR", 0x412}, {"ko", 0x412},
    {"de_DE", 0x407}, {"de_AT", 0xC07},  {"de_CH", 0x807},  {"de", 0x407},    {"fr_FR", 0x40C},
    {"fr_CA", 0xC0C}, {"fr_BE", 0x80C},  {"fr_CH", 0x100C}, {"fr", 0x40C},    {"es_ES", 0xC0A},
    {"es_MX", 0x80A}, {"es", 0xC0A},     {"it_IT", 0x410},  {"it", 0x410},    {"pt_BR", 0x416},
    {"pt_PT", 0x816}, {"pt", 0x416},     {"ru_RU", 0x419},  {"ru", 0x419},    {"nl_NL", 0x413},
    {"nl", 0x413},    {"pl_PL", 0x415},  {"pl", 0x415},     {"tr_TR", 0x41F}, {"tr", 0x41F},
    {"ar_SA", 0x401}, {"ar", 0x401},     {"he_IL", 0x40D},  {"he", 0x40D},    {"th_TH", 0x41E},
    {"th", 0x41E},    {"vi_VN", 0x42A},  {"vi", 0x42A},
};

// The locale that decides the language of messages, as setlocale would
// choose it: LC_ALL, then LC_MESSAGES, then LANG.
const char *MessagesLocale() {
    for (const char *name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char *value = std::getenv(name);
        if (value && *value)
            return value;
    }
    return nullptr;
}

uint16_t LanguageFromLocale(const char *locale) {
    if (!locale)
        return kLanguageEnglishUs;
    // "ll_CC.codeset@modifier": only "ll_CC" counts.
    size_t length = std::strcspn(locale, ".@");
    size_t languageLength = std::strcspn(locale, "_.@");
    for (const LocaleLanguage &entry : kLocaleLanguages) {
        if (std::strlen(entry.locale) == length && std::strncmp(entry.locale, locale, length) == 0)
            return entry.languageId;
    }
    for (const LocaleLanguage &entry : kLocaleLanguages) {
        if (std::strlen(entry.locale) == languageLength &&
            std::strncmp(entry.locale, locale, languageLength) == 0)
            return entry.languageId;
    }
    return kLanguageEnglishUs;
}

} // namespace

uint16_t UserInterfaceLanguage() {
    uint16_t forced = g_languageOverride.load(std::memory_order_relaxed);
    if (forced)
        return forced;
    return LanguageFromLocale(MessagesLocale());
}

void SetUserInterfaceLanguageOverride(uint16_t languageId) {
    g_languageOverride.store(languageId, std::memory_order_relaxed);
}

// ---------------------------------------------------------------------------

bool Utf8ToWide(std::string_view text, WString &out) {
    out.clear();
    WString result;
    result.reserve(text.size());
    const auto *p = reinterpret_cast<const unsigned char *>(text.data());
    const auto *end = p + text.size();
    while (p < end) {
        unsigned char lead = *p++;
        if (lead < 0x80) {
            result += QV_WCHAR(lead);
            continue;
        }
        // Strict decoding: no overlong forms, no encoded surrogates, nothing
        // above U+10FFFF, no stray or missing continuation bytes.
        int extra;
        uint32_t code;
        uint32_t minimum;
        if (lead >= 0xC2 && lead <= 0xDF) {
            extra = 1;
            code = lead & 0x1F;
            minimum = 0x80;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            extra = 2;
            code = lead & 0x0F;
            minimum = 0x800;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            extra = 3;
            code = lead & 0x07;
            minimum = 0x10000;
        } else {
            return false;
        }
        if (end - p < extra)
            return false;
        for (int i = 0; i < extra; ++i) {
            unsigned char c = *p++;
            if ((c & 0xC0) != 0x80)
                return false;
            code = (code << 6) | (c & 0x3F);
        }
        if (code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
            return false;
        if (code >= 0x10000) {
            code -= 0x10000;
            result += QV_WCHAR(0xD800 + (code >> 10));
            result += QV_WCHAR(0xDC00 + (code & 0x3FF));
        } else {
            result += QV_WCHAR(code);
        }
    }
    out.swap(result);
    return true;
}

bool AnsiToWide(std::string_view text, WString &out) {
    return Utf8ToWide(text, out);
}

bool WideToUtf8(const QV_WCHAR *text, size_t length, std::string &out) {
    out.clear();
    if (!text && length)
        return false;
    std::string result;
    result.reserve(length);
    for (size_t i = 0; i < length; ++i) {
        uint32_t code = uint16_t(text[i]);
        if (code >= 0xD800 && code <= 0xDBFF) {
            // A high surrogate needs its low half; a lone half is invalid.
            if (i + 1 >= length || uint16_t(text[i + 1]) < 0xDC00 || uint16_t(text[i + 1]) > 0xDFFF)
                return false;
            code = 0x10000 + ((code - 0xD800) << 10) + (uint16_t(text[++i]) - 0xDC00);
        } else if (code >= 0xDC00 && code <= 0xDFFF) {
            return false;
        }
        if (code < 0x80) {
            result += char(code);
        } else if (code < 0x800) {
            result += char(0xC0 | (code >> 6));
            result += char(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            result += char(0xE0 | (code >> 12));
            result += char(0x80 | ((code >> 6) & 0x3F));
            result += char(0x80 | (code & 0x3F));
        } else {
            result += char(0xF0 | (code >> 18));
            result += char(0x80 | ((code >> 12) & 0x3F));
            result += char(0x80 | ((code >> 6) & 0x3F));
            result += char(0x80 | (code & 0x3F));
        }
    }
    out.swap(result);
    return true;
}

size_t WideLength(const QV_WCHAR *text) {
    if (!text)
        return 0;
    size_t length = 0;
    while (text[length])
        ++length;
    return length;
}

// ---------------------------------------------------------------------------

void DebugOutput(const char *utf8Text) {
    if (!utf8Text || !std::getenv("QVPLAY_DEBUG_OUTPUT"))
        return;
    // One write per line, so that lines from several threads do not mix.
    std::string line(utf8Text);
    if (line.empty() || line.back() != '\n')
        line += '\n';
    size_t done = 0;
    while (done < line.size()) {
        ssize_t n = write(STDERR_FILENO, line.data() + done, line.size() - done);
        if (n <= 0)
            break;
        done += size_t(n);
    }
}

void DebugOutput(const QV_WCHAR *text) {
    if (!text || !std::getenv("QVPLAY_DEBUG_OUTPUT"))
        return;
    std::string utf8;
    if (WideToUtf8(text, WideLength(text), utf8))
        DebugOutput(utf8.c_str());
}

uint32_t SetFailCriticalErrors() {
    return 0;
}

void RestoreErrorMode(uint32_t) {}

} // namespace platform
