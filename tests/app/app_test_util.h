// Helpers of the app tests: bounded waits that keep the event loop running and a hook that acts on
// the next modal window that opens.
#pragma once

#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <QWidget>
#include <chrono>
#include <functional>
#include <thread>

#include "tests/common/test_support.h"

// Runs the event loop until done() holds or timeoutMs have passed; true when done.
inline bool WaitUntil(const std::function<bool()>& done, int timeoutMs = 3000) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > timeoutMs) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Calls act(modal) once a modal window is open (polling every 10 ms, at most timeoutMs).
// Lets a test look at a dialog run with exec() and close it.
inline void OnNextModal(std::function<void(QWidget*)> act, int timeoutMs = 3000) {
    auto* poll = new QTimer;
    auto* clock = new QElapsedTimer;
    clock->start();
    QObject::connect(poll, &QTimer::timeout, [poll, clock, act = std::move(act), timeoutMs] {
        QWidget* modal = QApplication::activeModalWidget();
        if (modal != nullptr && modal->isVisible()) {
            poll->stop();
            act(modal);
        } else if (clock->elapsed() > timeoutMs) {
            poll->stop();
        } else {
            return;
        }
        poll->deleteLater();
        delete clock;
    });
    poll->start(10);
}
