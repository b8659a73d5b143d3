// The fault matrix's page fixture: the page started and settled, its close timed.
#pragma once

#include <QElapsedTimer>

#include "tests/bench/bench_fixture.h"

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
