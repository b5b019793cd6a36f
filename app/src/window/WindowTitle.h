// The main window's title: what is open, then the program's name, e.g.
// "plucked-string.json[*], duo.ins — Kivora". The model comes first; its
// unsaved mark is Qt's [*] (shown through setWindowModified), an unsaved
// generated instrument carries a plain "*".
#pragma once

#include <QString>

namespace kivora {

class InstrumentSession;
class ModelSession;

inline constexpr const char* kProgramName = "Kivora";

// "NAME" or "Generated instrument", with "*" while unsaved; empty without one.
QString instrumentTitleText(const InstrumentSession& instrument);
// The parts that are not empty, joined, then the program's name.
QString composeWindowTitle(const QString& modelPart, const QString& instrumentPart);
QString windowTitleFor(const ModelSession& model, const InstrumentSession& instrument);

} // namespace kivora
