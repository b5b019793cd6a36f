// The bundled and built models must make usable instruments: they integrate
// stably at every offered sample rate, their dominant frequency lies where
// tuning works well, they are loud without overflowing, and they still sound
// at the end of a default-length note. A small reference integrator here
// follows the generator's equations (Runge-Kutta, linear and square damping).
#include <modelkit/Builders.h>
#include <modelkit/ModelFile.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <numbers>
#include <string>
#include <vector>

using namespace InstrumentKit;

namespace {

constexpr double kLinearDamping = 4.0;
constexpr double kSquareDamping = 0.08;

struct Spring {
    double stiffness;
    std::size_t other;
};

// The model in simulation order: nodes sorted by identity, each free node's
// own links, then the element links that end at it.
struct Simulation {
    std::vector<double> mass;
    std::vector<std::vector<Spring>> springs;
    std::vector<double> x0;
    std::vector<double> v0;
    std::size_t heard = 0;

    explicit Simulation(const Representation& model) {
        std::vector<const Node*> order;
        for (const Element& element : model.elements)
            order.insert(order.end(), element.nodes.begin(), element.nodes.end());
        std::sort(order.begin(), order.end(),
                  [](const Node* a, const Node* b) { return a->identity() < b->identity(); });
        auto indexOf = [&](const Node* node) {
            return static_cast<std::size_t>(std::find(order.begin(), order.end(), node) - order.begin());
        };
        for (const Node* node : order) {
            mass.push_back(node->mass());
            x0.push_back(node->initialDisplacement());
            v0.push_back(node->fixed ? 0.0 : node->initialVelocity());
            std::vector<Spring> own;
            if (!node->fixed) {
                for (const NodeLink& link : node->links)
                    own.push_back(Spring{link.stiffness, indexOf(link.other)});
                for (const Element& element : model.elements)
                    for (const ElementLink& link : element.links)
                        if (link.second == node)
                            own.push_back(Spring{link.stiffness, indexOf(link.first)});
            }
            springs.push_back(std::move(own));
        }
        heard = indexOf(model.flagged);
    }

    void derivative(const std::vector<double>& x, const std::vector<double>& v, std::vector<double>& dx,
                    std::vector<double>& dv) const {
        for (std::size_t i = 0; i < x.size(); ++i) {
            double force = 0.0;
            for (const Spring& spring : springs[i])
                force -= spring.stiffness * (x[i] - x[spring.other]);
            double sign = v[i] > 0.0 ? 1.0 : -1.0;
            dx[i] = v[i];
            dv[i] = force / mass[i] - (kLinearDamping + kSquareDamping * sign * v[i]) * v[i];
        }
    }

    std::vector<double> renderHeard(int sampleRate, double seconds, double stiffnessFactor = 1.0) {
        for (auto& list : springs)
            for (Spring& spring : list)
                spring.stiffness *= stiffnessFactor;
        const std::size_t n = mass.size();
        const double h = 1.0 / sampleRate;
        std::vector<double> x = x0, v = v0, tx(n), tv(n), kx[4], kv[4];
        for (int s = 0; s < 4; ++s) {
            kx[s].resize(n);
            kv[s].resize(n);
        }
        std::vector<double> out;
        const auto count = static_cast<std::size_t>(sampleRate * seconds);
        out.push_back(x[heard]);
        const double weights[3] = {h / 2, h / 2, h};
        for (std::size_t sample = 1; sample < count; ++sample) {
            derivative(x, v, kx[0], kv[0]);
            for (int s = 1; s < 4; ++s) {
                for (std::size_t i = 0; i < n; ++i) {
                    tx[i] = x[i] + weights[s - 1] * kx[s - 1][i];
                    tv[i] = v[i] + weights[s - 1] * kv[s - 1][i];
                }
                derivative(tx, tv, kx[s], kv[s]);
            }
            for (std::size_t i = 0; i < n; ++i) {
                x[i] += h / 6 * (kx[0][i] + 2 * kx[1][i] + 2 * kx[2][i] + kx[3][i]);
                v[i] += h / 6 * (kv[0][i] + 2 * kv[1][i] + 2 * kv[2][i] + kv[3][i]);
            }
            out.push_back(x[heard]);
        }
        for (auto& list : springs)
            for (Spring& spring : list)
                spring.stiffness /= stiffnessFactor;
        return out;
    }

    // Highest angular frequency of the undamped model, by power iteration on
    // the acceleration operator (its eigenvalues are the squared frequencies).
    double highestOmega() const {
        const std::size_t n = mass.size();
        std::vector<double> u(n), w(n);
        for (std::size_t i = 0; i < n; ++i)
            u[i] = springs[i].empty() ? 0.0 : ((i * 7919) % 13) - 6.0 + 0.5;
        double lambda = 0.0;
        for (int iteration = 0; iteration < 3000; ++iteration) {
            double norm = 0.0;
            for (std::size_t i = 0; i < n; ++i) {
                double a = 0.0;
                for (const Spring& spring : springs[i])
                    a += spring.stiffness * (u[i] - u[spring.other]);
                w[i] = a / mass[i];
                norm += w[i] * w[i];
            }
            norm = std::sqrt(norm);
            double uNorm = 0.0;
            for (double value : u)
                uNorm += value * value;
            lambda = norm / std::sqrt(uNorm);
            for (std::size_t i = 0; i < n; ++i)
                u[i] = w[i] / norm;
        }
        return std::sqrt(lambda);
    }
};

// Hann-windowed single-bin DFT magnitude, by the Goertzel recurrence.
double magnitudeAt(const std::vector<double>& windowed, int sampleRate, double hz) {
    const double omega = 2.0 * std::numbers::pi * hz / sampleRate;
    const double coefficient = 2.0 * std::cos(omega);
    double previous = 0.0, beforePrevious = 0.0;
    for (double value : windowed) {
        double current = value + coefficient * previous - beforePrevious;
        beforePrevious = previous;
        previous = current;
    }
    return std::sqrt(std::max(0.0, previous * previous + beforePrevious * beforePrevious -
                                       coefficient * previous * beforePrevious));
}

double dominantHz(const std::vector<double>& signal, int sampleRate) {
    std::vector<double> windowed(signal.size());
    for (std::size_t i = 0; i < signal.size(); ++i)
        windowed[i] = signal[i] * (0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * i / signal.size()));
    double best = 0.0, bestMagnitude = -1.0;
    for (double hz = 20.0; hz < std::min(3000.0, sampleRate / 2.0); hz += 2.0)
        if (double m = magnitudeAt(windowed, sampleRate, hz); m > bestMagnitude) {
            bestMagnitude = m;
            best = hz;
        }
    for (double step = 1.0; step > 0.01; step /= 2)
        for (double candidate : {best - step, best + step})
            if (double m = magnitudeAt(windowed, sampleRate, candidate); m > bestMagnitude) {
                bestMagnitude = m;
                best = candidate;
            }
    return best;
}

double peakOf(const std::vector<double>& signal, std::size_t from, std::size_t to) {
    double peak = 0.0;
    for (std::size_t i = from; i < to; ++i)
        peak = std::max(peak, std::abs(signal[i]));
    return peak;
}

} // namespace

namespace {

struct NamedModel {
    std::string name;
    std::function<Representation()> make;
};

std::vector<NamedModel> bundledModels() {
    std::vector<NamedModel> models{{"default", [] { return defaultModel(); }},
                                   {"membrane 12x12", [] { return makeMembrane(12, 12); }}};
    for (const auto& entry : std::filesystem::directory_iterator(KIVORA_SOURCE_DIR "/examples/models"))
        if (entry.path().extension() == ".json")
            models.push_back(
                {entry.path().filename().string(), [path = entry.path()] { return loadModelFile(path); }});
    return models;
}

constexpr double kFirstNoteHz = 130.8127826502993;
// The Runge-Kutta step stays stable while h*omega < 2*sqrt(2); keep a margin.
constexpr double kStableStepTimesOmega = 2.6;

double topNoteHz(int octaves) {
    return kFirstNoteHz * std::pow(2.0, (12 * octaves - 1) / 12.0);
}

void expectSoundsWell(const std::vector<double>& heard) {
    ASSERT_TRUE(std::all_of(heard.begin(), heard.end(), [](double x) { return std::isfinite(x); }));
    EXPECT_LE(peakOf(heard, 0, heard.size()), 1.0) << "a sample would clip";
    EXPECT_GE(peakOf(heard, 0, heard.size() / 10), 0.2) << "too quiet";
    EXPECT_GE(peakOf(heard, heard.size() * 9 / 10, heard.size()), 0.01) << "silent before the note ends";
}

} // namespace

TEST(ModelSound, BundledModelsAreLoudStableAndTunable) {
    for (const NamedModel& named : bundledModels()) {
        SCOPED_TRACE(named.name);
        Representation model = named.make();
        ASSERT_NE(model.flagged, nullptr);
        Simulation simulation(model);
        std::vector<double> heard = simulation.renderHeard(22050, 0.5);
        expectSoundsWell(heard);
        const double dominant = dominantHz(heard, 22050);
        EXPECT_GE(dominant, 40.0);
        EXPECT_LE(dominant, 1000.0);
        for (int rate : {8000, 44100}) {
            SCOPED_TRACE(rate);
            expectSoundsWell(simulation.renderHeard(rate, 0.5));
        }
        // Tuning scales every stiffness, so the ratio of the stiffest mode to the
        // tuned one stays; the highest note must still integrate stably.
        const double stiffestPerDominant = simulation.highestOmega() / (2.0 * std::numbers::pi * dominant);
        for (auto [rate, octaves] : {std::pair{44100, 2}, std::pair{22050, 2}, std::pair{8000, 1}}) {
            double stepTimesOmega = 2.0 * std::numbers::pi * topNoteHz(octaves) * stiffestPerDominant / rate;
            EXPECT_LT(stepTimesOmega, kStableStepTimesOmega) << octaves << " octaves at " << rate << " Hz";
        }
    }
}

TEST(ModelSound, BenchmarkMembraneIsStableAndHeardAtItsLowestMode) {
    Representation model = makeMembrane(32, 32);
    EXPECT_EQ(model.nodeCount(), 1024u);
    Simulation simulation(model);
    std::vector<double> heard = simulation.renderHeard(8000, 0.5);
    expectSoundsWell(heard);
    EXPECT_NEAR(dominantHz(heard, 8000), 110.0, 1.0);
    double stiffestPerLowest = simulation.highestOmega() / (2.0 * std::numbers::pi * 110.0);
    EXPECT_LT(2.0 * std::numbers::pi * topNoteHz(2) * stiffestPerLowest / 44100, kStableStepTimesOmega);
}

TEST(ModelSound, StringFundamentalIsIndependentOfItsMassCount) {
    for (int masses : {1, 5, 16, 30}) {
        SCOPED_TRACE(masses);
        Simulation simulation(makeString(masses));
        EXPECT_NEAR(dominantHz(simulation.renderHeard(22050, 0.5), 22050), 110.0, 0.5);
    }
}
