// Shared pieces of the fault matrix: byte streams whose every byte tells its place, time
// bounds that stretch under the sanitizers, and the page's own test fixture with the page
// started and settled.
#pragma once

#include <QElapsedTimer>
#include <cstdint>
#include <vector>

#include "tests/bench/bench_fixture.h"

using Bytes = std::vector<uint8_t>;

// Sanitizers make everything several times slower: their trees stretch the time limits, the
// plain tree checks the real ones.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr int TIME_SCALE = 3;
#else
inline constexpr int TIME_SCALE = 1;
#endif

// Printable bytes from `first` on, one character each in a view; byte k of a stream is
// Printable(k), so any run of them shows where it came from (modulo 94).
inline uint8_t Printable(size_t position) {
    return static_cast<uint8_t>(0x21 + position % 94);
}
inline Bytes Stream(size_t first, size_t count) {
    Bytes bytes(count);
    for (size_t i = 0; i < count; ++i) {
        bytes[i] = Printable(first + i);
    }
    return bytes;
}
inline QString Latin1(const Bytes& bytes) {
    QString text;
    for (uint8_t b : bytes) {
        text.append(QChar(static_cast<char16_t>(b)));
    }
    return text;
}

// The page on the simulated Kit (COM1 its line), started and settled, its close timed.
class CFaultPageTest : public CPageTest {
  protected:
    // Starts the page and waits for the first tick: the COM scan done and, with the Kit
    // plugged, its version reply in the USB view, which is then cleared.
    void StartPage(bool usb, bool serial) {
        CPageTest::StartPage(usb, serial);
        ASSERT_SOON(page->FirstTickDone(), 5000);
        if (usb) {
            ASSERT_SOON(page->UsbView().Text() == QString::fromStdString(kit.Version()), 3000);
            page->OnUsbClear();
        }
    }
    // The close sequence; returns how long it took in ms.
    qint64 ClosePage() {
        QElapsedTimer closing;
        closing.start();
        CPageTest::ClosePage();
        return closing.elapsed();
    }
};
