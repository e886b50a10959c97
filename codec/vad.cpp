// Voice-activity decision: frame energy against an adaptive noise level that may only rise
// while the signal is neither periodic nor tonal, with a hangover after speech.
#include <cmath>
#include <cstdlib>

#include "celp_encoder.h"
#include "celp_tables.h"

namespace brimvox {

int16_t detectVoiceActivity(CelpCodec& codec, const double speech[FrameSamples],
                            int16_t vadSensitivity) {
    // Periodicity: all four recent lags near multiples of the smallest one.
    int minLag = 145;
    for (int16_t lag : codec.vadLags) {
        if (lag < minLag) minLag = lag;
    }
    int count = 0;
    for (int16_t lag : codec.vadLags) {
        for (int j = 1; j <= 8; ++j) {
            if (std::abs(j * minLag - lag) <= 3) ++count;
        }
    }

    int adapt = codec.vadAdaptCount;
    if (count == 4 || codec.sineDetector < 0) {
        adapt += 2;
    } else {
        adapt -= 1;
    }
    if (adapt < 0) adapt = 0;
    if (adapt > 6) adapt = 6;
    codec.vadAdaptCount = static_cast<int16_t>(adapt);

    double sum = 0.0;
    for (int n = 60; n < FrameSamples; ++n) sum += speech[n] * speech[n];
    const double energy = sum / 180.0 * 0.5;

    if (codec.vadNoiseLevel > codec.vadPrevEnergy) {
        codec.vadNoiseLevel = 0.75 * codec.vadPrevEnergy + 0.25 * codec.vadNoiseLevel;
    }
    if (codec.vadAdaptCount == 0) {
        codec.vadNoiseLevel = codec.vadNoiseLevel * 1.03125;
    } else {
        codec.vadNoiseLevel = codec.vadNoiseLevel * 0.99951171875;
    }
    codec.vadPrevEnergy = energy;
    if (codec.vadNoiseLevel < 128.0) codec.vadNoiseLevel = 128.0;
    if (codec.vadNoiseLevel > 131071.0) codec.vadNoiseLevel = 131071.0;
    // A non-finite energy (impossible from 16-bit input, possible from a corrupted state)
    // must not leave the level outside its range: NaN fails both comparisons above.
    if (!(codec.vadNoiseLevel >= 128.0)) codec.vadNoiseLevel = 128.0;

    int e = 0;
    const double m = std::frexp(codec.vadNoiseLevel, &e);
    const double x = std::floor(m * 128.0) / 64.0 - 1.0;
    const double thr = ((1.0 - x) * VadThresholdTable[18 - e] + x * VadThresholdTable[17 - e]) *
                       codec.vadNoiseLevel / 4096.0 * (0.4 + 0.006 * vadSensitivity);

    int16_t decision;
    int voiceCount = codec.vadVoiceCount;
    int hangover = codec.vadHangover;
    if (thr > energy) {
        decision = 0;
        if (voiceCount > 0) --voiceCount;
    } else {
        decision = 1;
        ++voiceCount;
        ++hangover;
    }
    if (voiceCount >= 2) {
        hangover = 6;
        if (voiceCount >= 3) voiceCount = 3;
    }
    if (hangover != 0) {
        decision = 1;
        if (voiceCount == 0) --hangover;
    }
    codec.vadVoiceCount = static_cast<int16_t>(voiceCount);
    codec.vadHangover = static_cast<int16_t>(hangover);

    codec.vadLags[0] = codec.vadLags[2];
    codec.vadLags[1] = codec.vadLags[3];
    return decision;
}

}  // namespace brimvox
