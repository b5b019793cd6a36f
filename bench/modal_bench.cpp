// The modal preview shown while a model is edited: it must keep up with the
// editing of models up to a 32 x 32 membrane (a fifth of a second at most).
#include <kivora/ModalAnalysis.h>
#include <modelkit/Builders.h>
#include <muntero/ModelSnapshot.h>

#include <benchmark/benchmark.h>

namespace {

void BM_ModalPreviewOfAMembrane(benchmark::State& state) {
    const int side = static_cast<int>(state.range(0));
    const muntero::ModelSnapshot snapshot = muntero::takeSnapshot(InstrumentKit::makeMembrane(side, side));
    for (auto _ : state) {
        const kivora::ModalPreview preview = kivora::analyseModes(snapshot);
        benchmark::DoNotOptimize(preview.modes.data());
    }
    state.counters["nodes"] = side * side;
}
BENCHMARK(BM_ModalPreviewOfAMembrane)->Arg(8)->Arg(16)->Arg(32)->Arg(64)->Unit(benchmark::kMillisecond);

void BM_ModalPreviewOfTheBuiltInString(benchmark::State& state) {
    const muntero::ModelSnapshot snapshot = muntero::takeSnapshot(InstrumentKit::defaultModel());
    for (auto _ : state) {
        const kivora::ModalPreview preview = kivora::analyseModes(snapshot);
        benchmark::DoNotOptimize(preview.modes.data());
    }
}
BENCHMARK(BM_ModalPreviewOfTheBuiltInString)->Unit(benchmark::kMicrosecond);

} // namespace
