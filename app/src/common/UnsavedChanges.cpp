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

} // namespace kivora
