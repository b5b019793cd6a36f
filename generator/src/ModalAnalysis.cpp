#include <kivora/ModalAnalysis.h>

#include <Eigen/Dense>
#include <Eigen/Sparse>
#include <Spectra/MatOp/SparseSymMatProd.h>
#include <Spectra/MatOp/SparseSymShiftSolve.h>
#include <Spectra/SymEigsShiftSolver.h>
#include <Spectra/SymEigsSolver.h>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numbers>

namespace kivora {

namespace {

// Up to this many free nodes a dense solver is quicker than Lanczos iterations
// and finds every mode at once.
constexpr int kDenseLimit = 300;
// One-way springs need the general (dense, O(n³)) solver: beyond this the
// preview would take seconds.
constexpr int kNonSymmetricLimit = 1500;
// Relative size below which ω² counts as zero (a free drifting part).
constexpr double kZeroModeTolerance = 1e-9;
constexpr double kTwoPi = 2.0 * std::numbers::pi;

// The free nodes' equations in matrix form.
struct FreeSystem {
    std::vector<int> nodeOf;      // free index → snapshot node index
    std::vector<int> freeIndexOf; // snapshot node index → free index, or -1
    std::vector<double> masses;
    std::vector<Eigen::Triplet<double>> stiffness; // K, summed on assembly
    bool symmetric = true;
};

FreeSystem gatherFreeSystem(const muntero::ModelSnapshot& snapshot) {
    FreeSystem system;
    system.freeIndexOf.assign(snapshot.nodes.size(), -1);
    for (int i = 0; i < snapshot.nodeCount(); ++i) {
        const muntero::ModelNode& node = snapshot.nodes[static_cast<std::size_t>(i)];
        if (node.fixed)
            continue;
        system.freeIndexOf[static_cast<std::size_t>(i)] = static_cast<int>(system.nodeOf.size());
        system.nodeOf.push_back(i);
        system.masses.push_back(node.mass);
    }
    for (std::size_t row = 0; row < system.nodeOf.size(); ++row) {
        const muntero::ModelNode& node = snapshot.nodes[static_cast<std::size_t>(system.nodeOf[row])];
        const int r = static_cast<int>(row);
        for (int c = 0; c < node.connectionCount; ++c) {
            const muntero::Connection& link =
                snapshot.connections[static_cast<std::size_t>(node.firstConnection + c)];
            system.stiffness.emplace_back(r, r, link.stiffness);
            const int column = system.freeIndexOf[static_cast<std::size_t>(link.other)];
            if (column >= 0)
                system.stiffness.emplace_back(r, column, -link.stiffness);
        }
    }
    return system;
}

bool isSymmetric(const Eigen::SparseMatrix<double>& matrix) {
    // Free nodes without springs: no coefficient to compare (and no maximum of none).
    if (matrix.nonZeros() == 0)
        return true;
    const Eigen::SparseMatrix<double> transposed = matrix.transpose();
    const Eigen::SparseMatrix<double> difference = matrix - transposed;
    const double scale = std::max(1.0, matrix.coeffs().cwiseAbs().maxCoeff());
    return difference.nonZeros() == 0 || difference.coeffs().cwiseAbs().maxCoeff() <= 1e-12 * scale;
}

// One mode in the free nodes' coordinates: ω² and the mass-weighted shape y
// (the displacement shape is M^-1/2·y).
struct RawMode {
    double omegaSquared = 0.0;
    Eigen::VectorXd weightedShape;
};

// Modes of the symmetric D = M^-1/2·K·M^-1/2, lowest first, at most count of
// them above zero, plus the largest ω² of all.
void symmetricModes(const Eigen::SparseMatrix<double>& weighted, int count, std::vector<RawMode>& modes,
                    double& largestOmegaSquared) {
    const int n = static_cast<int>(weighted.rows());
    if (n <= kDenseLimit) {
        const Eigen::MatrixXd dense = weighted;
        Eigen::SelfAdjointEigenSolver<Eigen::MatrixXd> solver(dense);
        if (solver.info() != Eigen::Success)
            throw std::runtime_error("the eigenvalue solver did not converge");
        largestOmegaSquared = solver.eigenvalues()(n - 1);
        const double zero = kZeroModeTolerance * std::max(std::abs(largestOmegaSquared), 1.0);
        for (int i = 0; i < n && static_cast<int>(modes.size()) < count; ++i)
            if (solver.eigenvalues()(i) > zero)
                modes.push_back({solver.eigenvalues()(i), solver.eigenvectors().col(i)});
        return;
    }

    {
        Spectra::SparseSymMatProd<double> product(weighted);
        const int basis = std::min(n, 20);
        Spectra::SymEigsSolver<Spectra::SparseSymMatProd<double>> largest(product, 1, basis);
        largest.init();
        largest.compute(Spectra::SortRule::LargestAlge, 2000, 1e-8);
        if (largest.info() != Spectra::CompInfo::Successful)
            throw std::runtime_error("the largest mode did not converge");
        largestOmegaSquared = largest.eigenvalues()(0);
    }

    // Shift-invert about a point just below zero finds the lowest modes,
    // drifting parts (ω² = 0) included; ask for enough to drop those.
    const double meanDiagonal = weighted.diagonal().mean();
    const double shift = -1e-6 * std::max(meanDiagonal, 1e-12);
    Spectra::SparseSymShiftSolve<double> inverse(weighted);
    const int wanted = std::min(n - 1, count + 4);
    const int basis = std::min(n, std::max(2 * wanted + 1, 20));
    Spectra::SymEigsShiftSolver<Spectra::SparseSymShiftSolve<double>> lowest(inverse, wanted, basis, shift);
    lowest.init();
    lowest.compute(Spectra::SortRule::LargestMagn, 2000, 1e-10);
    if (lowest.info() != Spectra::CompInfo::Successful)
        throw std::runtime_error("the lowest modes did not converge");
    const Eigen::VectorXd values = lowest.eigenvalues();
    const Eigen::MatrixXd vectors = lowest.eigenvectors();
    std::vector<int> order(static_cast<std::size_t>(values.size()));
    for (int i = 0; i < values.size(); ++i)
        order[static_cast<std::size_t>(i)] = i;
    std::sort(order.begin(), order.end(), [&](int a, int b) { return values(a) < values(b); });
    const double zero = kZeroModeTolerance * std::max(std::abs(largestOmegaSquared), 1.0);
    for (int i : order)
        if (values(i) > zero && static_cast<int>(modes.size()) < count)
            modes.push_back({values(i), vectors.col(i)});
}

// One-way springs: the modes of M⁻¹K by the general solver; the real parts of
// its eigenvalues and the magnitudes of its vectors stand for ω² and shapes.
void generalModes(const Eigen::SparseMatrix<double>& stiffness, const std::vector<double>& masses, int count,
                  std::vector<RawMode>& modes, double& largestOmegaSquared) {
    const int n = static_cast<int>(stiffness.rows());
    Eigen::MatrixXd matrix(stiffness);
    for (int row = 0; row < n; ++row)
        matrix.row(row) /= masses[static_cast<std::size_t>(row)];
    Eigen::EigenSolver<Eigen::MatrixXd> solver(matrix);
    if (solver.info() != Eigen::Success)
        throw std::runtime_error("the eigenvalue solver did not converge");
    std::vector<int> order(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i)
        order[static_cast<std::size_t>(i)] = i;
    const Eigen::VectorXcd values = solver.eigenvalues();
    std::sort(order.begin(), order.end(), [&](int a, int b) { return values(a).real() < values(b).real(); });
    largestOmegaSquared = values(order.back()).real();
    const double zero = kZeroModeTolerance * std::max(std::abs(largestOmegaSquared), 1.0);
    for (int i : order) {
        if (values(i).real() <= zero || static_cast<int>(modes.size()) >= count)
            continue;
        // Back to the mass-weighted shape the symmetric path reports.
        Eigen::VectorXd shape = solver.eigenvectors().col(i).cwiseAbs();
        for (int row = 0; row < n; ++row)
            shape(row) *= std::sqrt(masses[static_cast<std::size_t>(row)]);
        shape.normalize();
        modes.push_back({values(i).real(), shape});
    }
}

} // namespace

ModalPreview analyseModes(const muntero::ModelSnapshot& snapshot, int modeCount) {
    ModalPreview preview;
    const FreeSystem system = gatherFreeSystem(snapshot);
    const int n = static_cast<int>(system.nodeOf.size());
    if (n == 0) {
        preview.unavailable = "the model has no free node";
        return preview;
    }
    for (double mass : system.masses) {
        if (!(mass > 0.0) || !std::isfinite(mass)) {
            preview.unavailable = "every free node needs a positive mass";
            return preview;
        }
    }

    Eigen::SparseMatrix<double> stiffness(n, n);
    stiffness.setFromTriplets(system.stiffness.begin(), system.stiffness.end());
    preview.symmetric = isSymmetric(stiffness);

    std::vector<RawMode> modes;
    double largestOmegaSquared = 0.0;
    try {
        if (preview.symmetric) {
            Eigen::VectorXd inverseRoot(n);
            for (int i = 0; i < n; ++i)
                inverseRoot(i) = 1.0 / std::sqrt(system.masses[static_cast<std::size_t>(i)]);
            const Eigen::SparseMatrix<double> weighted =
                inverseRoot.asDiagonal() * stiffness * inverseRoot.asDiagonal();
            symmetricModes(weighted, std::max(modeCount, 0), modes, largestOmegaSquared);
        } else if (n <= kNonSymmetricLimit) {
            generalModes(stiffness, system.masses, std::max(modeCount, 0), modes, largestOmegaSquared);
        } else {
            char reason[128];
            std::snprintf(reason, sizeof reason,
                          "springs acting on one end only in a model of more than %d free nodes",
                          kNonSymmetricLimit);
            preview.unavailable = reason;
            return preview;
        }
    } catch (const std::exception& error) {
        preview.unavailable = error.what();
        return preview;
    }
    preview.highestFrequencyHz = largestOmegaSquared > 0.0 ? std::sqrt(largestOmegaSquared) / kTwoPi : 0.0;

    // The initial state in mass-weighted coordinates: the modal coordinates of
    // mode r are y_r·(M^1/2·x0) and y_r·(M^1/2·v0).
    Eigen::VectorXd weightedDisplacement(n);
    Eigen::VectorXd weightedVelocity(n);
    for (int i = 0; i < n; ++i) {
        const auto node = static_cast<std::size_t>(system.nodeOf[static_cast<std::size_t>(i)]);
        const double root = std::sqrt(system.masses[static_cast<std::size_t>(i)]);
        weightedDisplacement(i) = root * snapshot.initialDisplacements[node];
        weightedVelocity(i) = root * snapshot.initialVelocities[node];
    }
    const int sound = snapshot.soundingNode >= 0 && snapshot.soundingNode < snapshot.nodeCount()
                          ? system.freeIndexOf[static_cast<std::size_t>(snapshot.soundingNode)]
                          : -1;

    double loudest = 0.0;
    for (const RawMode& raw : modes) {
        NormalMode mode;
        const double omega = std::sqrt(raw.omegaSquared);
        mode.frequencyHz = omega / kTwoPi;
        if (sound >= 0) {
            // Displacement shape φ = M^-1/2·y.
            double largestShape = 0.0;
            for (int i = 0; i < n; ++i)
                largestShape =
                    std::max(largestShape, std::abs(raw.weightedShape(i)) /
                                               std::sqrt(system.masses[static_cast<std::size_t>(i)]));
            const double shapeHere = std::abs(raw.weightedShape(sound)) /
                                     std::sqrt(system.masses[static_cast<std::size_t>(sound)]);
            mode.shapeAtSound = largestShape > 0.0 ? shapeHere / largestShape : 0.0;
            const double position = raw.weightedShape.dot(weightedDisplacement);
            const double speed = raw.weightedShape.dot(weightedVelocity) / omega;
            mode.loudness = shapeHere * std::hypot(position, speed);
            if (mode.loudness > loudest) {
                loudest = mode.loudness;
                preview.loudestMode = static_cast<int>(preview.modes.size());
            }
        }
        preview.modes.push_back(mode);
    }
    for (std::size_t r = 0; r < preview.modes.size(); ++r) {
        NormalMode& mode = preview.modes[r];
        mode.loudness = loudest > 0.0 ? mode.loudness / loudest : 0.0;
        if (r < 3 && sound >= 0 && mode.shapeAtSound < ModalPreview::kNodalLineShape)
            preview.nodalModes.push_back(static_cast<int>(r));
    }
    return preview;
}

StabilityForecast forecastStability(double highestFrequencyHz, double baseFrequencyHz,
                                    const GenerationSettings& settings) {
    StabilityForecast forecast;
    forecast.baseFrequencyHz = baseFrequencyHz;
    if (settings.sampleRate <= 0)
        return forecast;
    const double timeStep = 1.0 / settings.sampleRate;
    const double highestOmega = kTwoPi * highestFrequencyHz;
    const int notes = settings.octaves <= 0 ? 1 : 12 * settings.octaves;
    for (int note = 0; note < notes; ++note) {
        // Frequencies go as √k: scaling every spring moves every mode alike.
        double frequencyRatio = 1.0;
        if (settings.octaves > 0 && baseFrequencyHz > 0.0)
            frequencyRatio = NoteGenerator::kFirstNoteHz / baseFrequencyHz * std::exp2(note / 12.0);
        const double product = highestOmega * frequencyRatio * timeStep;
        forecast.stepProducts.push_back(product);
        if (product > kRungeKuttaStabilityLimit)
            forecast.unstableNotes.push_back(note);
    }
    return forecast;
}

} // namespace kivora
