// On-screen-display items that recorders send inside their containers, the
// list of items in force that a parser keeps, the copy attached to each
// video frame, and the clock texts made from frame times.
//
// Every item is one zeroed block of the parser's pool (4096-byte class), so
// any byte no field fills is 0. The list and its time item are touched only
// under the parser's input lock; the copy attached to a frame belongs to the
// frame.
#pragma once

#include <cstdint>
#include <vector>

#include "blockpool/blockpool.h"
#include "platform/system.h"
#include <qvdemux.h>

// Pool block size of one item (the 4096-byte class).
constexpr uint32_t kOsdItemBlockSize = 4096;
// Position of no item in the list.
constexpr int kOsdNoItem = -1;

class COsdList {
public:
    // The pool gives the items and the copies attached to frames; it must
    // outlive the list.
    explicit COsdList(BlockPool *pool) : m_pool(pool) {}
    ~COsdList() { Clear(); }
    COsdList(const COsdList &) = delete;
    COsdList &operator=(const COsdList &) = delete;

    // A zeroed item of the given kind at (x, y), not yet in the list; null
    // when the pool has no block. Give it to Append/ReplaceTimeItem or back
    // with FreeItem.
    OsdItem *NewItem(uint32_t kind, uint16_t x, uint16_t y);
    void FreeItem(OsdItem *item);

    // Appends at the tail and takes the item over (it is freed when the list
    // cannot grow). Returns the item's position or kOsdNoItem.
    int Append(OsdItem *item);
    // Returns every item to the pool, empties the list and forgets the time
    // item.
    void Clear();

    size_t Count() const { return m_items.size(); }
    bool Empty() const { return m_items.empty(); }
    OsdItem *At(size_t index) const { return index < m_items.size() ? m_items[index] : nullptr; }

    // The item that shows the clock (V30 and V20): its position, or
    // kOsdNoItem.
    int TimeItem() const { return m_timeItem; }
    void SetTimeItem(int index) {
        m_timeItem = (index >= 0 && size_t(index) < m_items.size()) ? index : kOsdNoItem;
    }
    // Puts a new item at the time item's position, returning the old one to
    // the pool. Without a time item the new item is freed. Returns false
    // then.
    bool ReplaceTimeItem(OsdItem *item);

    // Attaches a copy of the first DEMUX_MAX_OSD_ITEMS items to a frame:
    // byOsdCount and pOsdItems (one pool block of count x item size); with
    // no items, or when the pool has no block, count 0 and no pointer.
    void AttachTo(FrameRecord *frame) const;
    // Returns a frame's attached copy to the pool and clears the fields.
    static void FreeAttached(BlockPool *pool, FrameRecord *frame);

private:
    BlockPool *m_pool;
    std::vector<OsdItem *> m_items;
    int m_timeItem = kOsdNoItem;
};

// ---- Item bodies ----

// Writes text into a text item, cut to DEMUX_OSD_TEXT_MAX - 1 code units and
// NUL-terminated; the rest of the body is zeroed.
void SetOsdItemText(OsdItem *item, const QV_WCHAR *text, size_t length);
void SetOsdItemText(OsdItem *item, const platform::WString &text);
// Sets a mosaic item's rectangle size and mode (DEMUX_OSD_MOSAIC_...); the
// colour stays 0 (black).
void SetOsdItemMosaic(OsdItem *item, uint16_t width, uint16_t height, uint32_t mode);

// ---- Recording times ----

// Breaks seconds since 1970-01-01 00:00:00 down into calendar fields, with no
// time-zone or daylight adjustment; the millisecond stays 0. Fails (and
// leaves out unchanged) for a negative count or one past the end of year
// 3000, as the recorders' own time conversion does.
bool BreakDownTime(int64_t seconds, SYSTEMTIME *out);

// ---- Clock texts ----

enum OsdLanguage : uint16_t {
    kOsdLanguageChinese = 0x804, // Chinese (Simplified, PRC)
};

// Name tables (UTF-8). Weekday 0 is Sunday, month 1 January; out of range
// gives "".
const char *OsdWeekdayName(unsigned weekday);        // "Sun.", "Mon.", ...
const char *OsdMonthName(unsigned month);            // "Jan.", ...
const char *OsdChineseWeekdayName(unsigned weekday); // Sunday first
const char *OsdEnglishWeekdayName(unsigned weekday); // "Sunday", ...

// printf-style formatting of UTF-8 text into UTF-16, cut to
// DEMUX_OSD_TEXT_MAX - 1 code units.
platform::WString OsdFormat(const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// The V30 time styles 0 to 7 (DEMUX_TIME_STYLE_...); any other style gives an
// empty text.
platform::WString FormatV30TimeText(const SYSTEMTIME &time, uint32_t style);
// V20 texts. Old-style record: date and time in the language's order.
platform::WString FormatV20OldTimeText(const SYSTEMTIME &time, uint16_t language);
// New-style record: date by date style, then the time in 24-hour (hourMode
// 0) or 12-hour form.
platform::WString FormatV20NewTimeText(const SYSTEMTIME &time, uint8_t hourMode, uint8_t dateStyle,
                                       uint16_t language);
// Appends a blank and the weekday name in the language (Chinese names for
// 0x804, English ones otherwise).
platform::WString AppendV20Weekday(const platform::WString &text, const SYSTEMTIME &time, uint16_t language);
