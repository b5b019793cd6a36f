// Shared pieces of the window tests: the bundled instrument, file-dialog
// answers and captured message boxes.
#pragma once

#include "common/BackgroundJob.h"
#include "common/EngineGuard.h"
#include "piano/CPianoFrame.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QString>
#include <QStringList>
#include <QThread>
#include <functional>
#include <gtest/gtest.h>

namespace kivora::test {

inline QString duoInstrumentPath() {
    return QStringLiteral(KIVORA_SOURCE_DIR "/examples/instruments/duo.ins");
}

// Handles events until `done` holds; false after a bound generous enough
// for any job of the tests, so that a fault cannot hang the suite.
inline bool waitUntil(const std::function<bool()>& done, int boundMs = 60000) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > boundMs)
            return false;
        QCoreApplication::processEvents();
        QThread::msleep(2);
    }
    return true;
}

// Waits for every background job (an export, a melody being prepared) to end.
inline void waitForBackgroundJobs() {
    EXPECT_TRUE(waitUntil([] { return BackgroundJob::runningCount() == 0; })) << "a job did not end";
}

// Collects what would have been message boxes while it lives.
class CapturedMessages {
public:
    CapturedMessages() {
        previous_ = setMessageHandler([this](QWidget*, const QString& text) { texts.append(text); });
    }
    ~CapturedMessages() { setMessageHandler(previous_); }
    CapturedMessages(const CapturedMessages&) = delete;
    CapturedMessages& operator=(const CapturedMessages&) = delete;

    QStringList texts;

private:
    MessageHandler previous_;
};

// Answers every file dialog with the next path of `answers` (empty: cancel),
// and records the filters and the starting paths asked for.
struct ScriptedFileChooser {
    QStringList answers;
    QStringList filters;
    QStringList startPaths;

    FileChooser chooser() {
        auto answer = [this](QWidget*, const QString& filter, const QString&, const QString& startPath) {
            filters.append(filter);
            startPaths.append(startPath);
            return answers.isEmpty() ? QString() : answers.takeFirst();
        };
        return {answer, answer};
    }
};

} // namespace kivora::test
