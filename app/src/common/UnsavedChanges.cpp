#include "common/UnsavedChanges.h"

#include <QMessageBox>

namespace kivora {

UnsavedAnswer askAboutUnsavedChanges(QWidget* owner, const QString& question) {
    QMessageBox box(QMessageBox::Warning, QStringLiteral("Kivora"), question,
                    QMessageBox::Save | QMessageBox::Discard | QMessageBox::Cancel, owner);
    box.setDefaultButton(QMessageBox::Save);
    switch (box.exec()) {
    case QMessageBox::Save:
        return UnsavedAnswer::Save;
    case QMessageBox::Discard:
        return UnsavedAnswer::Discard;
    default:
        return UnsavedAnswer::Cancel;
    }
}

bool settleUnsavedChanges(const UnsavedPrompt& prompt, QWidget* owner, const QString& question,
                          const std::function<bool()>& save) {
    switch (prompt(owner, question)) {
    case UnsavedAnswer::Save:
        return save();
    case UnsavedAnswer::Discard:
        return true;
    case UnsavedAnswer::Cancel:
        return false;
    }
    return false;
}

} // namespace kivora
