// The traffic view's rows as text: stamps, hex with offsets, notes, and the text copied,
// searched and read out.
#include "bench/traffic_view.h"

#include <algorithm>

#include "bench/ansi_text.h"

namespace {

constexpr int STAMP_WIDTH = 13;  // "HH:MM:SS.mmm "
constexpr qint64 DAY_MS = 24 * 3600 * 1000;

void AppendDigits(QString& out, qint64 value, int digits) {
    for (int shift = digits - 1; shift >= 0; --shift) {
        qint64 divisor = 1;
        for (int i = 0; i < shift; ++i) {
            divisor *= 10;
        }
        out += QLatin1Char(static_cast<char>('0' + value / divisor % 10));
    }
}

void AppendHex(QString& out, qint64 value, int digits) {
    static const char* const HEX = "0123456789ABCDEF";
    for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) {
        out += QLatin1Char(HEX[(value >> shift) & 0xF]);
    }
}

}  // namespace

int TrafficView::OffsetDigits() const {
    // Eight hex digits until the bytes since Clear pass 4 GiB, then as many as the newest needs,
    // so an offset never wraps and every row's column is as wide.
    const qint64 end = StoreEnd();
    const Mark& mark = MarkAt(end);
    const qint64 newest = mark.offset + (end - mark.pos);
    int digits = 8;
    while (digits < 16 && (newest >> (4 * digits)) != 0) {
        digits += 4;
    }
    return digits;
}

int TrafficView::PrefixWidth() const {
    return timestampMode == TimestampMode::Off ? 0 : STAMP_WIDTH;
}

QString TrafficView::RowText(size_t index) const {
    const Row& row = rows[index];
    QString out;
    if ((row.flags & NOTE) != 0) {
        const auto note = std::lower_bound(notes.begin(), notes.end(), row.start,
                                           [](const Note& n, qint64 pos) { return n.pos < pos; });
        const qint64 skipped = note != notes.end() ? note->skipped : 0;
        return tr("[\u2026 %1 bytes not shown while paused \u2026]").arg(skipped);
    }
    out.reserve(PrefixWidth() + (hexMode ? 80 : row.length));
    const Mark& mark = MarkAt(row.start);
    if (timestampMode != TimestampMode::Off) {
        // The arrival of the row's first byte, as the time of day.
        const bool stamped = timestampMode == TimestampMode::Chunk ? ChunkStartsAt(index)
                                                                   : (row.flags & FOLDED) == 0;
        if (stamped) {
            const qint64 ms = ((WallMs(mark.steadyNs) + localOffsetMs) % DAY_MS + DAY_MS) % DAY_MS;
            AppendDigits(out, ms / 3600000, 2);
            out += QLatin1Char(':');
            AppendDigits(out, ms / 60000 % 60, 2);
            out += QLatin1Char(':');
            AppendDigits(out, ms / 1000 % 60, 2);
            out += QLatin1Char('.');
            AppendDigits(out, ms % 1000, 3);
            out += QLatin1Char(' ');
        } else {
            out += QString(STAMP_WIDTH, QLatin1Char(' '));
        }
    }
    const auto* data =
        reinterpret_cast<const uint8_t*>(store.constData()) + (row.start - storeBase);
    if (hexMode) {
        // Offset among the bytes received since Clear, the bytes, then the printable ones.
        AppendHex(out, mark.offset + (row.start - mark.pos), OffsetDigits());
        out += QLatin1String("  ");
        for (int i = 0; i < HEX_ROW; ++i) {
            if (i < row.length) {
                AppendHex(out, data[i], 2);
                out += QLatin1Char(' ');
            } else {
                out += QLatin1String("   ");
            }
        }
        out += QLatin1Char(' ');
        for (int i = 0; i < row.length; ++i) {
            out +=
                QLatin1Char(data[i] >= 0x20 && data[i] < 0x7F ? static_cast<char>(data[i]) : '.');
        }
        return out;
    }
    for (int i = 0; i < row.length; ++i) {
        if (data[i] != 0 && !IsLineEnd(data[i])) {
            out += CharFromAnsi(data[i]);
        }
    }
    return out;
}

int TrafficView::RowTextLength(size_t index) const {
    const Row& row = rows[index];
    if ((row.flags & NOTE) != 0) {
        return static_cast<int>(RowText(index).size());
    }
    if (hexMode) {
        // Offset, two spaces, three characters a byte slot, a space, one character a byte.
        return PrefixWidth() + OffsetDigits() + 2 + 3 * HEX_ROW + 1 + row.length;
    }
    const auto* data =
        reinterpret_cast<const uint8_t*>(store.constData()) + (row.start - storeBase);
    return PrefixWidth() +
           static_cast<int>(std::count_if(data, data + row.length, [](uint8_t byte) {
               return byte != 0 && !IsLineEnd(byte);
           }));
}

QString TrafficView::RowsText(Pos from, Pos to) const {
    QString out;
    for (qint64 row = std::max(from.row, rowBase); row <= to.row && row - rowBase < RowCount();
         ++row) {
        const QString text = RowText(static_cast<size_t>(row - rowBase));
        const int start = row == from.row ? std::min<int>(from.column, text.size()) : 0;
        const int end = row == to.row ? std::min<int>(to.column, text.size()) : text.size();
        if (row > from.row) {
            out += QLatin1Char('\n');
        }
        out += text.mid(start, std::max(0, end - start));
    }
    return out;
}

QString TrafficView::Text() {
    Flush();
    QString text;
    text.reserve(store.size());
    bool afterCr = false;
    for (const char c : std::as_const(store)) {
        const auto byte = static_cast<uint8_t>(c);
        if (byte == 0) {
            continue;
        }
        if (byte == '\n' && afterCr) {
            afterCr = false;
            continue;
        }
        afterCr = byte == '\r';
        text += IsLineEnd(byte) ? QChar(QLatin1Char('\n')) : CharFromAnsi(byte);
    }
    return text;
}

QString TrafficView::ShownText() {
    Flush();
    if (rows.empty()) {
        return {};
    }
    return RowsText({rowBase, 0}, {rowBase + RowCount() - 1, INT_MAX});
}
