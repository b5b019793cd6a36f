#include "piano/MelodyCommand.h"

#include "common/EngineGuard.h"
#include "common/RenderedFiles.h"

#include <kivora/exchange/MidiFileRendering.h>
#include <pellamy/MelodyRenderer.h>

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QMessageBox>
#include <QPushButton>
#include <QStringList>
#include <QTemporaryDir>
#include <memory>

namespace kivora {

namespace {

QString tr(const char* text) {
    return QCoreApplication::translate("kivora::MelodyCommand", text);
}

const QString kMelodyFilter =
    QStringLiteral("Melody file(WAV, SNC or MIDI) (*.wav *.snc *.mid *.midi);;All files (*)");

// A copy the worker may play with: rewound, nothing held, as a rendering
// through the live instrument starts.
std::shared_ptr<pellamy::InstrumentModel> rewoundCopy(const pellamy::InstrumentModel& instrument) {
    auto copy = std::make_shared<pellamy::InstrumentModel>(instrument);
    copy->forEachSound([](const std::string&, pellamy::Sound& sound) {
        sound.setPosition(0);
        sound.setPlaying(false);
    });
    return copy;
}

} // namespace

MelodyCommand::MelodyCommand(Context context)
    : context_(std::move(context)), player_(context_.pianoOutput),
      job_(context_.owner, tr("Preparing the melody...")) {}

MelodyCommand::~MelodyCommand() = default;

MelodyCommand::ReplaceAnswer MelodyCommand::askInMessageBox(QWidget* owner, const QString& question) {
    QMessageBox box(QMessageBox::Warning, QStringLiteral("Kivora"), question, QMessageBox::NoButton, owner);
    QPushButton* replace = box.addButton(tr("&Replace"), QMessageBox::DestructiveRole);
    QPushButton* elsewhere = box.addButton(tr("&Keep It"), QMessageBox::AcceptRole);
    box.addButton(QMessageBox::Cancel);
    box.setDefaultButton(elsewhere);
    box.exec();
    if (box.clickedButton() == replace)
        return ReplaceAnswer::Replace;
    if (box.clickedButton() == elsewhere)
        return ReplaceAnswer::RenderElsewhere;
    return ReplaceAnswer::Cancel;
}

std::optional<QString> MelodyCommand::temporaryPath(const QString& fileName) {
    if (temporaryFolder_ == nullptr || !temporaryFolder_->isValid())
        temporaryFolder_ = std::make_unique<QTemporaryDir>();
    if (!temporaryFolder_->isValid()) {
        showMessage(context_.owner, tr("%1 cannot be rendered: no temporary folder can be made (%2)")
                                        .arg(fileName, temporaryFolder_->errorString()));
        return std::nullopt;
    }
    return temporaryFolder_->filePath(fileName);
}

std::optional<QString> MelodyCommand::destinationFor(const QString& source, const QString& beside,
                                                     QString& note) {
    const QFileInfo wav(beside);
    const QString sourceName = QFileInfo(source).fileName();
    if (!folderTakesFiles_(wav.absolutePath()) || (wav.exists() && !wav.isWritable())) {
        note = tr("%1 was rendered to a temporary file: its folder takes no new file").arg(sourceName);
        return temporaryPath(wav.fileName());
    }
    if (!wav.exists() || isRenderingOf(beside, source))
        return beside;
    const QString question =
        tr("%1 already exists and is not the rendering of %2.\n\nReplace it with the rendering, or keep it "
           "and play %2 from a temporary file?")
            .arg(QDir::toNativeSeparators(beside), sourceName);
    switch (askReplace_ ? askReplace_(context_.owner, question) : ReplaceAnswer::Cancel) {
    case ReplaceAnswer::Replace:
        return beside;
    case ReplaceAnswer::RenderElsewhere:
        note = tr("%1 was kept: %2 was rendered to a temporary file").arg(wav.fileName(), sourceName);
        return temporaryPath(wav.fileName());
    case ReplaceAnswer::Cancel:
        break;
    }
    return std::nullopt;
}

bool MelodyCommand::run(const FileChooser& chooser) {
    if (job_.raiseIfRunning())
        return false;
    const QString path = chooser.openFile(context_.owner, kMelodyFilter, QString());
    return !path.isEmpty() && play(path);
}

bool MelodyCommand::play(const QString& path) {
    if (job_.raiseIfRunning())
        return false;
    // Endings are matched in any letter case: files copied from other systems
    // often carry upper-case extensions.
    const auto endsWith = [&path](const char* ending) {
        return path.endsWith(QLatin1String(ending), Qt::CaseInsensitive);
    };
    const pellamy::InstrumentModel* instrument = context_.instrument ? context_.instrument() : nullptr;
    auto clip = std::make_shared<MelodyClip>();
    auto status = std::make_shared<QString>();

    if (endsWith(".wav")) {
        return start([clip, wavPath = narrowPath(path)](
                         const BackgroundJob::StopCheck&) { *clip = MelodyPlayer::load(wavPath); },
                     clip, status);
    }
    if (endsWith(".snc")) {
        const QString beside = path.left(path.size() - 4) + QStringLiteral(".wav");
        QString note;
        const std::optional<QString> destination = destinationFor(path, beside, note);
        if (!destination)
            return false;
        const QString& wavPath = *destination;
        // Without an instrument only a script that defines its own renders.
        std::shared_ptr<pellamy::InstrumentModel> copy = instrument ? rewoundCopy(*instrument) : nullptr;
        return start(
            [clip, copy, scriptPath = narrowPath(path),
             wavPath = narrowPath(wavPath)](const BackgroundJob::StopCheck& stopRequested) {
                pellamy::MelodyRenderer renderer(pellamy::MixClip);
                if (copy)
                    renderer.setInstrument(copy.get());
                renderer.setStopCheck(stopRequested);
                // A failed rendering leaves the previous WAV file, which is
                // not this script's melody: it is not played.
                renderer.render(scriptPath, wavPath);
                *clip = MelodyPlayer::load(wavPath);
            },
            clip, status, note, wavPath == beside ? beside : QString(), path);
    }
    if (exchange::isMidiFilePath(narrowPath(path))) {
        const QFileInfo midi(path);
        const QString fileName = midi.fileName();
        if (instrument == nullptr) {
            showMessage(context_.owner,
                        tr("%1 is a MIDI file: it plays through the piano's instrument. Load or generate an "
                           "instrument first.")
                            .arg(fileName));
            return false;
        }
        const QString beside = midi.dir().filePath(midi.completeBaseName() + QStringLiteral(".wav"));
        QString note;
        const std::optional<QString> destination = destinationFor(path, beside, note);
        if (!destination)
            return false;
        const QString& wavPath = *destination;
        return start(
            [clip, status, copy = rewoundCopy(*instrument), fileName, midiPath = narrowPath(path),
             wavPath = narrowPath(wavPath)](const BackgroundJob::StopCheck& stopRequested) {
                // Played as a sampler plays the exported bank: every channel
                // but the percussion channel, keys between the sounds' roots
                // transposed.
                exchange::SongRenderOptions options;
                options.stopRequested = stopRequested;
                exchange::MidiFileRendering result = exchange::renderMidiFile(midiPath, *copy, options);
                const QString uncovered = QString::fromStdString(result.uncoveredKeys);
                if (result.rendering.notesPlayed == 0)
                    throw MelodyError((tr("No note of %1 falls on a key of the instrument").arg(fileName) +
                                       (uncovered.isEmpty() ? QString() : QStringLiteral(": ") + uncovered))
                                          .toStdString());
                QStringList leftOut;
                if (!result.skippedPercussion.empty())
                    leftOut << QString::fromStdString(result.skippedPercussion);
                if (!uncovered.isEmpty())
                    leftOut << uncovered + tr(" (left out)");
                if (!leftOut.isEmpty())
                    *status = tr("%1: %2").arg(fileName, leftOut.join(QStringLiteral("; ")));
                if (stopRequested())
                    return;
                exchange::writeSongWav(result.rendering, wavPath);
                *clip = MelodyPlayer::load(wavPath);
            },
            clip, status, note, wavPath == beside ? beside : QString(), path);
    }
    showMessage(context_.owner, tr("%1 is not a melody: Play Melody takes .wav, .snc and .mid files")
                                    .arg(QFileInfo(path).fileName()));
    return false;
}

bool MelodyCommand::start(BackgroundJob::Work work, const std::shared_ptr<MelodyClip>& clip,
                          const std::shared_ptr<QString>& status, const QString& note,
                          const QString& rendering, const QString& source) {
    return job_.start(std::move(work), [this, clip, status, note, rendering, source] {
        if (!rendering.isEmpty())
            rememberRendering(rendering, source);
        QStringList notes;
        for (const QString& text : {note, *status})
            if (!text.isEmpty())
                notes << text;
        if (!notes.isEmpty() && context_.showStatus)
            context_.showStatus(notes.join(QStringLiteral("; ")));
        player_.play(*clip);
    });
}

} // namespace kivora
