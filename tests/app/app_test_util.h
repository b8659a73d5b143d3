// Helper of the app tests: a hook that acts on the next modal window that opens.
#pragma once

#include <QApplication>
#include <QTimer>
#include <QWidget>
#include <QtTest/QTest>
#include <functional>
#include <memory>

#include "app/board_app.h"
#include "platform/platform.h"
#include "sim/sim_kit.h"
#include "tests/common/test_support.h"

// Calls act(modal) once a modal window is open (polling every 10 ms, at most timeoutMs).
// Lets a test look at a dialog run with exec() and close it.
inline void OnNextModal(std::function<void(QWidget*)> act, int timeoutMs = 3000) {
    auto* poll = new QTimer;
    QObject::connect(poll, &QTimer::timeout,
                     [poll, act = std::move(act), tries = timeoutMs / 10]() mutable {
                         QWidget* modal = QApplication::activeModalWidget();
                         const bool open = modal != nullptr && modal->isVisible();
                         if (!open && --tries > 0) {
                             return;
                         }
                         poll->stop();
                         if (open) {
                             act(modal);
                         }
                         poll->deleteLater();
                     });
    poll->start(10);
}

// The program as a user starts it, on a simulated Kit that is plugged in with its line
// connected; its boxes are recorded.
struct CSimApp {
    CSimApp() {
        kit.PlugUsb(true);
        kit.ConnectSerial(true);
        app = std::make_unique<CBoardApp>(platform, nullptr);
        app->InitInstance();
    }
    CSimKit kit;
    CRecordingBoxes boxes;
    platform::Platform platform{&kit.SerialPorts(), &kit.Hid(), &boxes};
    std::unique_ptr<CBoardApp> app;
};
