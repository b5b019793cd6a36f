// Shared pieces of the window tests: the bundled instrument, file-dialog
// answers and captured message boxes.
#pragma once

#include "common/EngineGuard.h"
#include "piano/CPianoFrame.h"

#include <QString>
#include <QStringList>
#include <gtest/gtest.h>

namespace kivora::test {

inline QString duoInstrumentPath() {
    return QStringLiteral(KIVORA_SOURCE_DIR "/examples/instruments/duo.ins");
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
// and records the filters asked for.
struct ScriptedFileChooser {
    QStringList answers;
    QStringList filters;

    FileChooser chooser() {
        auto answer = [this](QWidget*, const QString& filter, const QString&) {
            filters.append(filter);
            return answers.isEmpty() ? QString() : answers.takeFirst();
        };
        return {answer, answer};
    }
};

} // namespace kivora::test
