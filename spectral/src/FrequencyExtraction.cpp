#include <ostrel/FrequencyExtraction.h>

namespace ostrel {

double extractFrequency(WAVEFORMATEX&, void*, unsigned) {
    return 440.0;
}
double extractFrequency(const char*) {
    return -1.0;
}
std::vector<Oscill> extractFrequencySet(WAVEFORMATEX&, void*, unsigned) {
    return {};
}

} // namespace ostrel
