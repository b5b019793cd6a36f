#include "session/ModelSession.h"

#include "common/EngineGuard.h"

#include <modelkit/ModelFile.h>

#include <QFileInfo>
#include <QUndoStack>

namespace kivora {

namespace {

constexpr const char* kModelFilter = "Kivora model (*.json)";

} // namespace

ModelSession::ModelSession(QObject* parent)
    : QObject(parent), fileChooser_(FileChooser::dialogs()), unsavedPrompt_(askAboutUnsavedChanges),
      representation_(std::make_unique<InstrumentKit::Representation>()) {
    undoStack_ = new QUndoStack(this);
    connect(undoStack_, &QUndoStack::cleanChanged, this, &ModelSession::titleChanged);
}

ModelSession::~ModelSession() {
    // The commands refer to the session: they go while it is whole.
    undoStack_->clear();
}

void ModelSession::documentChanged() {
    document_.writeTo(*representation_);
    emit changed();
}

// ------------------------------------------------------------------ files

bool ModelSession::isModified() const {
    return !undoStack_->isClean();
}

QString ModelSession::windowTitleText() const {
    if (!filePath_.isEmpty())
        return QFileInfo(filePath_).fileName() + QStringLiteral("[*]");
    if (isModified())
        return tr("Untitled model") + QStringLiteral("[*]");
    return {};
}

void ModelSession::setFilePath(const QString& path) {
    filePath_ = path;
    if (!path.isEmpty()) {
        recentFiles_.add(path);
        emit recentFilesChanged();
    }
    emit titleChanged();
}

bool ModelSession::openRecentFile(const QString& path) {
    if (!maybeSave())
        return false;
    if (openFile(path))
        return true;
    recentFiles_.remove(path);
    emit recentFilesChanged();
    return false;
}

bool ModelSession::openFile(const QString& path) {
    ModelDocument document;
    if (!guarded(dialogOwner_, [&] {
            document = ModelDocument::fromRepresentation(InstrumentKit::loadModelFile(narrowPath(path)));
        }))
        return false;
    // Opening is not an edit: it starts a fresh history.
    undoStack_->clear();
    document_ = std::move(document);
    documentChanged();
    undoStack_->setClean();
    setFilePath(path);
    emit reset();
    return true;
}

bool ModelSession::saveToFile(const QString& path) {
    if (!guarded(dialogOwner_, [&] { InstrumentKit::saveModelFile(narrowPath(path), *representation_); }))
        return false;
    undoStack_->setClean();
    setFilePath(path);
    return true;
}

bool ModelSession::maybeSave() {
    if (!isModified())
        return true;
    return settleUnsavedChanges(unsavedPrompt_, dialogOwner_, tr("The model has unsaved changes. Save them?"),
                                [this] { return save(); });
}

void ModelSession::open() {
    if (!maybeSave())
        return;
    const QString path =
        fileChooser_.openFile(dialogOwner_, QString::fromLatin1(kModelFilter), QStringLiteral("json"));
    if (!path.isEmpty())
        openFile(path);
}

bool ModelSession::save() {
    if (filePath_.isEmpty())
        return saveAs();
    return saveToFile(filePath_);
}

bool ModelSession::saveAs() {
    // Starts with the current name, so that a copy is one edit away.
    const QString path = fileChooser_.saveFile(dialogOwner_, QString::fromLatin1(kModelFilter),
                                               QStringLiteral("json"), filePath_);
    return !path.isEmpty() && saveToFile(path);
}

void ModelSession::newModel() {
    if (!maybeSave())
        return;
    undoStack_->clear();
    document_ = ModelDocument();
    documentChanged();
    undoStack_->setClean();
    filePath_.clear();
    emit titleChanged();
    emit reset();
}

} // namespace kivora
