#pragma once
// The levels that readMeters reports: a per-source level that rises and falls, silence,
// full scale, fixed words, or the running peak of a WAV file played in a loop.
#include "driver/DriverTypes.h"

#include <QString>

#include <vector>

class MeterSource
{
public:
    // Accepts "sine", "silent", "full", "fixed <w0> [w1 ...]" or a WAV file path;
    // on failure keeps the previous mode and explains why in `error`.
    bool setMode(const QString& text, QString& error);
    QString mode() const { return modeName; }

    // Fills every word for the moment `elapsedMs` after the simulator started.
    void fill(MeterData& meters, qint64 elapsedMs) const;

private:
    enum class Kind
    {
        Sine,
        Silent,
        Full,
        Fixed,
        Wave
    };
    bool loadWave(const QString& path, QString& error);

    Kind kind = Kind::Sine;
    QString modeName = QStringLiteral("sine");
    std::vector<std::int32_t> fixedWords;
    // One peak envelope per channel, one value per block of waveBlockMs.
    std::vector<std::vector<float>> wavePeaks;
    static constexpr int waveBlockMs = 50;
};
