// Qt set-up and modal-window automation for the generation tests.
#pragma once

#include <QApplication>
#include <QMessageBox>
#include <QTimer>
#include <QWidget>
#include <functional>
#include <gtest/gtest.h>
#include <memory>

namespace kivora::app::testing {

// One QApplication for the whole test program.
class QtEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        static int argc = 1;
        static char name[] = "kivora-tests";
        static char* argv[] = {name, nullptr};
        application_ = std::make_unique<QApplication>(argc, argv);
    }
    void TearDown() override { application_.reset(); }

private:
    std::unique_ptr<QApplication> application_;
};

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

// Handles events until done() holds; a timer wakes the loop so that conditions
// set by other threads are seen too. The bound only keeps a fault from hanging.
inline bool processEventsUntil(const std::function<bool()>& done) {
    QTimer wake;
    wake.start(0);
    for (int round = 0; round < 1'000'000 && !done(); ++round) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return done();
}

} // namespace kivora::app::testing
