// A preview of what a model will sound like before any note is rendered: the
// normal modes of the linearised model (its springs and masses, without
// damping), how loudly each one is heard at the sounding node, and which notes
// of a generation run would exceed the Runge-Kutta stability limit.
//
// The motion of the free nodes obeys M·x'' = −K·x, with M the diagonal of the
// masses and K the stiffness matrix gathered from every node's connections (a
// fixed node only adds to the diagonal of the nodes tied to it). A mode of
// angular frequency ω solves K·φ = ω²·M·φ.
//
// Threads: every function here is pure; any thread may call it, and several
// threads may analyse different snapshots at once. analyseModes allocates the
// matrices and work vectors of one analysis (dense for small or one-way models,
// sparse otherwise) and frees them before it returns.
#pragma once

#include <kivora/GeneratorExport.h>
#include <kivora/NoteGenerator.h>
#include <muntero/ModelSnapshot.h>

#include <string>
#include <vector>

namespace kivora {

struct NormalMode {
    double frequencyHz = 0.0;
    // |φ| at the sounding node relative to the mode's largest |φ|: 0 on a
    // nodal line, 1 where the mode moves most.
    double shapeAtSound = 0.0;
    // Amplitude of this mode in the sounding node's displacement when the
    // model starts from its initial state, relative to the loudest mode listed.
    double loudness = 0.0;
};

struct ModalPreview {
    // The lowest modes, lowest first; modes of zero frequency (a part free to
    // drift as a whole) are left out.
    std::vector<NormalMode> modes;
    // Of all modes, not only those listed; 0 when the model has no free node.
    double highestFrequencyHz = 0.0;
    // Index into modes of the one heard loudest, the expected untuned base;
    // -1 when none is heard (flagged node fixed or not moving, model at rest).
    int loudestMode = -1;
    // Indices into modes, among the lowest three, whose shapeAtSound is below
    // kNodalLineShape: the sounding node sits on (or near) their nodal line.
    std::vector<int> nodalModes;
    // Springs that act on one end only make the model non-conservative: the
    // modes are then those of M⁻¹K and may be complex (their real part is used).
    bool symmetric = true;
    // Why no modes could be computed; empty when they were.
    std::string unavailable;

    static constexpr double kNodalLineShape = 0.05;
    static constexpr int kDefaultModeCount = 8;
};

// The normal modes of a snapshot. Never throws for a well-formed snapshot;
// a model that cannot be analysed says why in `unavailable`.
KIVORA_GENERATOR_API ModalPreview analyseModes(const muntero::ModelSnapshot& snapshot,
                                               int modeCount = ModalPreview::kDefaultModeCount);

// The classical fourth-order Runge-Kutta step is stable for an undamped mode
// while ω·h ≤ 2√2.
inline constexpr double kRungeKuttaStabilityLimit = 2.8284271247461903;

struct StabilityForecast {
    double baseFrequencyHz = 0.0; // the untuned base the tuning starts from
    // Per note of the run (in note order): the highest mode's ω·h after tuning.
    std::vector<double> stepProducts;
    // Indices of the notes whose highest mode exceeds the stability limit.
    std::vector<int> unstableNotes;
};

// Which notes of a run with these settings would blow up, given the model's
// highest mode and the untuned base frequency the run will tune from (the
// measured one, or the preview's loudest mode before any rendering). Octaves 0
// forecasts the single untuned note.
KIVORA_GENERATOR_API StabilityForecast forecastStability(double highestFrequencyHz, double baseFrequencyHz,
                                                         const GenerationSettings& settings);

// The name the generator gives note noteIndex of a run of octaves octaves
// ("1C" … "3B", or "simpleNote" for octaves 0).
KIVORA_GENERATOR_API std::string noteName(int noteIndex, int octaves);

} // namespace kivora
