// Modal-window automation and event waiting for the generation tests.
#pragma once

#include "common/EngineGuard.h"

#include <QApplication>
#include <QMessageBox>
#include <QTimer>
#include <QWidget>
#include <chrono>
#include <functional>
#include <gtest/gtest.h>
#include <memory>

namespace kivora::testing {

// Runs steps on the next modal window to open, then makes sure it closes even
// when a step fails, so that no test waits on a modal window.
inline void answerNextModal(std::function<void(QWidget*)> steps) {
    auto* timer = new QTimer;
    timer->setInterval(5);
    QObject::connect(timer, &QTimer::timeout, timer, [timer, steps = std::move(steps)] {
        QWidget* modal = QApplication::activeModalWidget();
        if (modal == nullptr) {
            return;
        }
        timer->stop();
        timer->deleteLater();
        struct Closer {
            QWidget* window;
            ~Closer() {
                if (window->isVisible()) {
                    window->close();
                }
            }
        } closer{modal};
        steps(modal);
    });
    timer->start();
}

// Hands every message the window would show to `handler` while it lives.
class MessagesTo {
public:
    explicit MessagesTo(MessageHandler handler) : previous_(setMessageHandler(std::move(handler))) {}
    ~MessagesTo() { setMessageHandler(previous_); }
    MessagesTo(const MessagesTo&) = delete;
    MessagesTo& operator=(const MessagesTo&) = delete;

private:
    MessageHandler previous_;
};

// Handles events until done() holds; a timer wakes the loop so that conditions
// set by other threads are seen too. The bound only keeps a fault from
// hanging: it is a time, not a count of rounds, which a sanitizer's slower
// worker outlasts.
inline bool processEventsUntil(const std::function<bool()>& done) {
    QTimer wake;
    wake.start(0);
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!done() && std::chrono::steady_clock::now() < giveUp) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return done();
}

} // namespace kivora::testing
