// OSD lists, item bodies and clock texts shared by the parsers.
#include "demux/osd.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>

static_assert(sizeof(OsdItem) <= kOsdItemBlockSize, "an item must fit its pool block");

OsdItem *COsdList::NewItem(uint32_t kind, uint16_t x, uint16_t y) {
    auto *item = static_cast<OsdItem *>(AllocBlock(m_pool, kOsdItemBlockSize));
    if (!item)
        return nullptr;
    std::memset(item, 0, sizeof(OsdItem));
    item->dwKind = kind;
    item->wX = x;
    item->wY = y;
    return item;
}

void COsdList::FreeItem(OsdItem *item) {
    if (item)
        FreeBlock(m_pool, item, kOsdItemBlockSize);
}

int COsdList::Append(OsdItem *item) {
    if (!item)
        return kOsdNoItem;
    try {
        m_items.push_back(item);
    } catch (const std::bad_alloc &) {
        FreeItem(item);
        return kOsdNoItem;
    }
    return int(m_items.size() - 1);
}

void COsdList::Clear() {
    for (OsdItem *item : m_items)
        FreeItem(item);
    m_items.clear();
    m_timeItem = kOsdNoItem;
}

bool COsdList::ReplaceTimeItem(OsdItem *item) {
    if (m_timeItem == kOsdNoItem || size_t(m_timeItem) >= m_items.size()) {
        FreeItem(item);
        return false;
    }
    if (!item)
        return false;
    FreeItem(m_items[size_t(m_timeItem)]);
    m_items[size_t(m_timeItem)] = item;
    return true;
}

void COsdList::AttachTo(FrameRecord *frame) const {
    frame->byOsdCount = 0;
    frame->pOsdItems = nullptr;
    size_t count = m_items.size();
    if (count > DEMUX_MAX_OSD_ITEMS)
        count = DEMUX_MAX_OSD_ITEMS;
    if (count == 0)
        return;
    auto *copy = static_cast<OsdItem *>(AllocBlock(m_pool, count * sizeof(OsdItem)));
    if (!copy)
        return; // the frame goes out without its OSD rather than not at all
    for (size_t i = 0; i < count; ++i)
        std::memcpy(&copy[i], m_items[i], sizeof(OsdItem));
    frame->byOsdCount = uint8_t(count);
    frame->pOsdItems = copy;
}

void COsdList::FreeAttached(BlockPool *pool, FrameRecord *frame) {
    if (frame->byOsdCount != 0 && frame->pOsdItems)
        FreeBlock(pool, frame->pOsdItems, size_t(frame->byOsdCount) * sizeof(OsdItem));
    frame->byOsdCount = 0;
    frame->pOsdItems = nullptr;
}

void SetOsdItemText(OsdItem *item, const QV_WCHAR *text, size_t length) {
    std::memset(&item->body, 0, sizeof(item->body));
    if (length > DEMUX_OSD_TEXT_MAX - 1)
        length = DEMUX_OSD_TEXT_MAX - 1;
    for (size_t i = 0; i < length; ++i)
        item->body.szText[i] = text[i];
}

void SetOsdItemText(OsdItem *item, const platform::WString &text) {
    SetOsdItemText(item, text.data(), text.size());
}

void SetOsdItemMosaic(OsdItem *item, uint16_t width, uint16_t height, uint32_t mode) {
    item->wWidth = width;
    item->wHeight = height;
    std::memset(&item->body, 0, sizeof(item->body));
    item->body.mosaic.dwMode = mode;
}

// ---- Recording times ----

namespace {

// Days since 1970-01-01 to a proleptic Gregorian date (the civil-from-days
// algorithm on 400-year eras).
void CivilFromDays(int64_t days, int64_t &year, unsigned &month, unsigned &day) {
    days += 719468;
    const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const unsigned dayOfEra = unsigned(days - era * 146097);
    const unsigned yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const unsigned mp = (5 * dayOfYear + 2) / 153;
    day = dayOfYear - (153 * mp + 2) / 5 + 1;
    month = mp < 10 ? mp + 3 : mp - 9;
    year = int64_t(yearOfEra) + era * 400 + (month <= 2 ? 1 : 0);
}

} // namespace

bool BreakDownTime(int64_t seconds, SYSTEMTIME *out) {
    // 3000-12-31 23:59:59, the last second the recorders' conversion takes.
    constexpr int64_t kLastSecond = 32535215999LL;
    if (seconds < 0 || seconds > kLastSecond)
        return false;
    const int64_t days = seconds / 86400;
    const int64_t rest = seconds % 86400;
    int64_t year;
    unsigned month, day;
    CivilFromDays(days, year, month, day);
    out->wYear = WORD(year);
    out->wMonth = WORD(month);
    out->wDayOfWeek = WORD((days + 4) % 7); // 1970-01-01 was a Thursday
    out->wDay = WORD(day);
    out->wHour = WORD(rest / 3600);
    out->wMinute = WORD(rest / 60 % 60);
    out->wSecond = WORD(rest % 60);
    out->wMilliseconds = 0;
    return true;
}

// ---- Clock texts ----

namespace {

const char *const kWeekdayNames[7] = {"Sun.", "Mon.", "Tues.", "Wed.", "Thur.", "Fri.", "Sat."};
const char *const kMonthNames[12] = {"Jan.", "Feb.", "Mar.",  "Apr.", "May.", "Jun.",
                                     "Jul.", "Aug.", "Sept.", "Oct.", "Nov.", "Dec."};
const char *const kChineseWeekdayNames[7] = {"星期日", "星期一", "星期二", "星期三",
                                             "星期四", "星期五", "星期六"};
const char *const kEnglishWeekdayNames[7] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                             "Thursday", "Friday", "Saturday"};
const char kMorningCn[] = "上午";
const char kAfternoonCn[] = "下午";

} // namespace

const char *OsdWeekdayName(unsigned weekday) {
    return weekday < 7 ? kWeekdayNames[weekday] : "";
}
const char *OsdMonthName(unsigned month) {
    return month >= 1 && month <= 12 ? kMonthNames[month - 1] : "";
}
const char *OsdChineseWeekdayName(unsigned weekday) {
    return weekday < 7 ? kChineseWeekdayNames[weekday] : "";
}
const char *OsdEnglishWeekdayName(unsigned weekday) {
    return weekday < 7 ? kEnglishWeekdayNames[weekday] : "";
}

platform::WString OsdFormat(const char *format, ...) {
    // Item texts hold at most 127 units; UTF-8 needs up to three bytes per
    // unit of the BMP, so this buffer always holds more than the item keeps.
    char buffer[512];
    va_list args;
    va_start(args, format);
    int written = std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    platform::WString out;
    if (written <= 0)
        return out;
    size_t length = size_t(written) < sizeof buffer ? size_t(written) : sizeof buffer - 1;
    // A cut may split a character: back off to its first byte.
    while (length > 0 && length == sizeof buffer - 1 && (uint8_t(buffer[length]) & 0xC0) == 0x80)
        --length;
    if (!platform::Utf8ToWide(std::string_view(buffer, length), out))
        out.clear();
    if (out.size() > DEMUX_OSD_TEXT_MAX - 1)
        out.resize(DEMUX_OSD_TEXT_MAX - 1);
    return out;
}

platform::WString FormatV30TimeText(const SYSTEMTIME &t, uint32_t style) {
    const int hour = t.wHour;
    switch (style) {
    case DEMUX_TIME_STYLE_YMD_HMS:
        return OsdFormat("%04d-%02d-%02d %02d:%02d:%02d", t.wYear, t.wMonth, t.wDay, hour, t.wMinute,
                         t.wSecond);
    case DEMUX_TIME_STYLE_YMD_HMS_MS:
        return OsdFormat("%04d-%02d-%02d %02d:%02d:%02d.%03d", t.wYear, t.wMonth, t.wDay, hour, t.wMinute,
                         t.wSecond, t.wMilliseconds);
    case DEMUX_TIME_STYLE_HMS:
        return OsdFormat("%02d:%02d:%02d", hour, t.wMinute, t.wSecond);
    case DEMUX_TIME_STYLE_EN_LONG:
        return OsdFormat("%s, %s %d, %04d, %02d:%02d:%02d", OsdWeekdayName(t.wDayOfWeek),
                         OsdMonthName(t.wMonth), t.wDay, t.wYear, hour, t.wMinute, t.wSecond);
    case DEMUX_TIME_STYLE_US_12H: {
        // Midnight stays 0; noon is 12 PM.
        const bool afternoon = hour >= 12;
        const int shown = hour > 12 ? hour - 12 : hour;
        return OsdFormat("%d/%d/%02d %d:%02d:%02d %s", t.wMonth, t.wDay, t.wYear % 100, shown, t.wMinute,
                         t.wSecond, afternoon ? "PM" : "AM");
    }
    case DEMUX_TIME_STYLE_CN:
        return OsdFormat("%04d年%d月%d日 %02d时%02d分%02d秒", t.wYear, t.wMonth, t.wDay, hour, t.wMinute,
                         t.wSecond);
    case DEMUX_TIME_STYLE_CN_WEEKDAY:
        return OsdFormat("%04d年%d月%d日 %s %02d时%02d分%02d秒", t.wYear, t.wMonth, t.wDay,
                         OsdChineseWeekdayName(t.wDayOfWeek), hour, t.wMinute, t.wSecond);
    case DEMUX_TIME_STYLE_CN_12H: {
        const bool afternoon = hour >= 12;
        const int shown = hour > 12 ? hour - 12 : hour;
        return OsdFormat("%04d年%d月%d日 %s %d:%02d:%02d", t.wYear, t.wMonth, t.wDay,
                         afternoon ? kAfternoonCn : kMorningCn, shown, t.wMinute, t.wSecond);
    }
    default:
        return platform::WString();
    }
}

platform::WString FormatV20OldTimeText(const SYSTEMTIME &t, uint16_t language) {
    if (language == kOsdLanguageChinese)
        return OsdFormat("%d-%02d-%02d %02d:%02d:%02d", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute,
                         t.wSecond);
    return OsdFormat("%02d/%02d/%d %02d:%02d:%02d", t.wMonth, t.wDay, t.wYear, t.wHour, t.wMinute, t.wSecond);
}

platform::WString FormatV20NewTimeText(const SYSTEMTIME &t, uint8_t hourMode, uint8_t dateStyle,
                                       uint16_t language) {
    const bool chinese = language == kOsdLanguageChinese;
    char date[64];
    const int y = t.wYear, m = t.wMonth, d = t.wDay;
    switch (dateStyle) {
    case 1:
        std::snprintf(date, sizeof date, chinese ? "%d年%d月%d日" : "%d/%02d/%02d", y, m, d);
        break;
    case 2:
        std::snprintf(date, sizeof date, chinese ? "%02d-%02d-%d" : "%02d/%02d/%d", m, d, y);
        break;
    case 3:
        std::snprintf(date, sizeof date, chinese ? "%d月%d日%d年" : "%02d/%02d/%d", m, d, y);
        break;
    case 4:
        std::snprintf(date, sizeof date, chinese ? "%02d-%02d-%d" : "%02d/%02d/%d", d, m, y);
        break;
    case 5:
        std::snprintf(date, sizeof date, chinese ? "%d日%d月%d年" : "%02d/%02d/%d", d, m, y);
        break;
    default:
        std::snprintf(date, sizeof date, chinese ? "%d-%02d-%02d" : "%d/%02d/%02d", y, m, d);
        break;
    }
    if (hourMode == 0)
        return OsdFormat("%s %02d:%02d:%02d", date, t.wHour, t.wMinute, t.wSecond);
    // Up to 12 counts as morning here (12:30 is "AM"), unlike the V30 styles.
    const bool afternoon = t.wHour > 12;
    const int shown = afternoon ? t.wHour - 12 : t.wHour;
    if (chinese)
        return OsdFormat("%s %s %d:%02d:%02d", date, afternoon ? kAfternoonCn : kMorningCn, shown, t.wMinute,
                         t.wSecond);
    return OsdFormat("%s %d:%02d:%02d %s", date, shown, t.wMinute, t.wSecond, afternoon ? "PM" : "AM");
}

platform::WString AppendV20Weekday(const platform::WString &text, const SYSTEMTIME &t, uint16_t language) {
    std::string utf8;
    if (!platform::WideToUtf8(text.data(), text.size(), utf8))
        utf8.clear();
    const char *name = language == kOsdLanguageChinese ? OsdChineseWeekdayName(t.wDayOfWeek)
                                                       : OsdEnglishWeekdayName(t.wDayOfWeek);
    return OsdFormat("%s %s", utf8.c_str(), name);
}
