#include "FrameConversion.h"

#include <algorithm>
#include <cmath>
#include <samplerate.h>
#include <stdexcept>
#include <utility>

namespace pellamy {

namespace {

// libsamplerate's fastest band-limited converter (97 dB signal-to-noise,
// 80 % of the band kept): it prepares some 80 s of 44.1 kHz sound per second
// on one core, so a generated instrument of 36 notes is ready at once; the
// medium converter takes twice as long, the best ten times.
constexpr int kConverter = SRC_SINC_FASTEST;

std::vector<float> resample(std::span<const float> input, std::size_t frames, unsigned channels,
                            double ratio) {
    // libsamplerate may produce a few frames more than frames × ratio.
    const std::size_t capacity =
        static_cast<std::size_t>(std::ceil(static_cast<double>(frames) * ratio)) + 16;
    std::vector<float> output(capacity * channels);
    SRC_DATA data{};
    data.data_in = input.data();
    data.data_out = output.data();
    data.input_frames = static_cast<long>(frames);
    data.output_frames = static_cast<long>(capacity);
    data.src_ratio = ratio;
    if (const int error = src_simple(&data, kConverter, static_cast<int>(channels)); error != 0)
        throw std::runtime_error(src_strerror(error));
    output.resize(static_cast<std::size_t>(data.output_frames_gen) * channels);
    return output;
}

// libsamplerate converts by at most 256 times in one pass; larger ratios go
// in passes of 128 times first.
constexpr double kMaxPassRatio = 256.0;
constexpr double kStepRatio = 128.0;
// Above this rate a sound may be stretched by up to kMaxRatio (in two
// passes); a slower one by one pass at most, so a sound of a few values per
// second cannot swell into gigabytes.
constexpr unsigned kMinMultiPassRateHz = 1000;
constexpr double kMaxRatio = kMaxPassRatio * kMaxPassRatio;

bool singlePass(double ratio) {
    return src_is_valid_ratio(ratio) != 0;
}

// In passes where the ratio is too large for one.
std::vector<float> resampleInPasses(std::vector<float> input, std::size_t frames, unsigned channels,
                                    double ratio) {
    while (!singlePass(ratio)) {
        const double step = ratio > 1 ? kStepRatio : 1 / kStepRatio;
        input = resample(input, frames, channels, step);
        frames = input.size() / channels;
        ratio /= step;
    }
    return resample(input, frames, channels, ratio);
}

std::int16_t toPcm16(float value) {
    const float scaled = std::nearbyint(value * 32768.0f);
    return static_cast<std::int16_t>(std::clamp(scaled, -32768.0f, 32767.0f));
}

} // namespace

bool canConvertRate(unsigned rateHz, unsigned deviceRateHz) {
    if (rateHz == 0 || deviceRateHz == 0)
        return false;
    const double ratio = static_cast<double>(deviceRateHz) / static_cast<double>(rateHz);
    return singlePass(ratio) || ratio < 1 || (rateHz >= kMinMultiPassRateHz && ratio <= kMaxRatio);
}

std::vector<std::int16_t> convertToDevice(std::span<const std::int16_t> values, unsigned channels,
                                          unsigned rateHz, unsigned deviceChannels, unsigned deviceRateHz) {
    if (channels == 0 || deviceChannels == 0)
        return {};
    std::size_t frames = values.size() / channels;

    // The sound's frames at the device rate, still in the sound's channels.
    std::vector<std::int16_t> atDeviceRate;
    std::span<const std::int16_t> source = values.first(frames * channels);
    if (rateHz != deviceRateHz && frames != 0) {
        std::vector<float> input(source.size());
        for (std::size_t i = 0; i < source.size(); ++i)
            input[i] = static_cast<float>(source[i]) / 32768.0f;
        const std::vector<float> output =
            resampleInPasses(std::move(input), frames, channels,
                             static_cast<double>(deviceRateHz) / static_cast<double>(rateHz));
        atDeviceRate.resize(output.size());
        std::transform(output.begin(), output.end(), atDeviceRate.begin(), toPcm16);
        source = atDeviceRate;
        frames = atDeviceRate.size() / channels;
    }

    std::vector<std::int16_t> device(frames * deviceChannels);
    for (std::size_t frame = 0; frame < frames; ++frame) {
        const std::int16_t* in = source.data() + frame * channels;
        std::int16_t* out = device.data() + frame * deviceChannels;
        if (channels == deviceChannels) {
            std::copy_n(in, channels, out);
        } else if (channels == 1) {
            std::fill_n(out, deviceChannels, in[0]);
        } else if (deviceChannels == 1) {
            std::int32_t sum = 0;
            for (unsigned c = 0; c < channels; ++c)
                sum += in[c];
            out[0] = static_cast<std::int16_t>(sum / static_cast<std::int32_t>(channels));
        } else {
            for (unsigned c = 0; c < deviceChannels; ++c)
                out[c] = c < channels ? in[c] : std::int16_t{0};
        }
    }
    return device;
}

} // namespace pellamy
