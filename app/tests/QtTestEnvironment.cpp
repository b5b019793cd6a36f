// One QApplication for every test of the program, on the offscreen platform
// (no display needed) and with SDL's silent audio driver. The settings
// (recent files, remembered folders) live in a temporary folder, never the
// user's, and every test starts with none.
#include <QApplication>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtGlobal>
#include <gtest/gtest.h>
#include <memory>

namespace {

class QtApplicationEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
            qputenv("QT_QPA_PLATFORM", "offscreen");
        qputenv("SDL_AUDIODRIVER", "dummy");
        application_ = std::make_unique<QApplication>(argc_, argv_);
        QStandardPaths::setTestModeEnabled(true);
        settingsFolder_ = std::make_unique<QTemporaryDir>();
        for (QSettings::Scope scope : {QSettings::UserScope, QSettings::SystemScope})
            QSettings::setPath(QSettings::NativeFormat, scope, settingsFolder_->path());
        QApplication::setOrganizationName(QStringLiteral("Kivora"));
        QApplication::setApplicationName(QStringLiteral("kivora_app_tests"));
    }
    void TearDown() override {
        application_.reset();
        settingsFolder_.reset();
    }

private:
    int argc_ = 1;
    char name_[18] = "kivora_app_tests";
    char* argv_[2] = {name_, nullptr};
    std::unique_ptr<QApplication> application_;
    std::unique_ptr<QTemporaryDir> settingsFolder_;
};

// What one test remembered must not change the next one's start.
class FreshSettings : public ::testing::EmptyTestEventListener {
    void OnTestStart(const ::testing::TestInfo&) override {
        if (QCoreApplication::instance() != nullptr)
            QSettings().clear();
    }
};

[[maybe_unused]] ::testing::Environment* const environment =
    ::testing::AddGlobalTestEnvironment(new QtApplicationEnvironment);

// Registered before main() runs the tests: static initialisation of this file.
[[maybe_unused]] const bool freshSettings = [] {
    ::testing::UnitTest::GetInstance()->listeners().Append(new FreshSettings);
    return true;
}();

} // namespace
