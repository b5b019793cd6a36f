#include "window/WindowTitle.h"

#include "session/InstrumentSession.h"
#include "session/ModelSession.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QStringList>

namespace kivora {

QString instrumentTitleText(const InstrumentSession& instrument) {
    if (!instrument.isLoaded())
        return {};
    QString text = instrument.filePath().isEmpty()
                       ? QCoreApplication::translate("kivora::WindowTitle", "Generated instrument")
                       : QFileInfo(instrument.filePath()).fileName();
    if (instrument.isModified())
        text += QLatin1Char('*');
    return text;
}

QString composeWindowTitle(const QString& modelPart, const QString& instrumentPart) {
    QStringList parts;
    for (const QString& part : {modelPart, instrumentPart})
        if (!part.isEmpty())
            parts << part;
    const QString program = QString::fromLatin1(kProgramName);
    if (parts.isEmpty())
        return program;
    return parts.join(QStringLiteral(", ")) + QStringLiteral(" \u2014 ") + program;
}

QString windowTitleFor(const ModelSession& model, const InstrumentSession& instrument) {
    return composeWindowTitle(model.windowTitleText(), instrumentTitleText(instrument));
}

} // namespace kivora
