#include "MeterSource.h"

#include <QFile>
#include <QStringList>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

constexpr double fullScale = 2147483647.0;

std::uint32_t readU32(const char* p)
{
    const auto* b = reinterpret_cast<const unsigned char*>(p);
    return b[0] | (b[1] << 8) | (b[2] << 16) | (std::uint32_t(b[3]) << 24);
}

std::uint16_t readU16(const char* p)
{
    const auto* b = reinterpret_cast<const unsigned char*>(p);
    return static_cast<std::uint16_t>(b[0] | (b[1] << 8));
}

// One sample as a magnitude in 0..1; formats: PCM 8/16/24/32 bit and 32/64-bit float.
double sampleMagnitude(const char* p, int format, int bits)
{
    if (format == 3) {
        if (bits == 32) {
            float f;
            std::memcpy(&f, p, 4);
            return std::fabs(f);
        }
        double d;
        std::memcpy(&d, p, 8);
        return std::fabs(d);
    }
    switch (bits) {
    case 8:
        return std::fabs((static_cast<unsigned char>(*p) - 128) / 128.0);
    case 16:
        return std::fabs(static_cast<std::int16_t>(readU16(p)) / 32768.0);
    case 24: {
        std::int32_t v = static_cast<std::int32_t>(readU32(p) << 8) >> 8;
        if (static_cast<unsigned char>(p[2]) & 0x80)
            v |= static_cast<std::int32_t>(0xFF000000u);
        return std::fabs(v / 8388608.0);
    }
    default:
        return std::fabs(static_cast<std::int32_t>(readU32(p)) / 2147483648.0);
    }
}

} // namespace

bool MeterSource::setMode(const QString& text, QString& error)
{
    const QStringList parts = text.simplified().split(' ', Qt::SkipEmptyParts);
    if (parts.isEmpty()) {
        error = QStringLiteral("meter mode missing");
        return false;
    }
    const QString head = parts.first().toLower();
    if (head == QLatin1String("sine"))
        kind = Kind::Sine;
    else if (head == QLatin1String("silent"))
        kind = Kind::Silent;
    else if (head == QLatin1String("full"))
        kind = Kind::Full;
    else if (head == QLatin1String("fixed")) {
        std::vector<std::int32_t> words;
        for (int i = 1; i < parts.size(); ++i) {
            bool ok = false;
            const qlonglong v = parts[i].toLongLong(&ok, 0);
            if (!ok || v < INT32_MIN || v > INT32_MAX || words.size() >= MeterData::WordCount) {
                error = QStringLiteral("bad meter word: ") + parts[i];
                return false;
            }
            words.push_back(static_cast<std::int32_t>(v));
        }
        fixedWords = std::move(words);
        kind = Kind::Fixed;
    } else if (!loadWave(text.trimmed(), error))
        return false;
    else
        kind = Kind::Wave;
    modeName = text.simplified();
    return true;
}

bool MeterSource::loadWave(const QString& path, QString& error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        error = QStringLiteral("unknown meter mode or unreadable file: ") + path;
        return false;
    }
    constexpr qint64 limit = 256ll * 1024 * 1024;
    if (file.size() > limit) {
        error = QStringLiteral("WAV file too large");
        return false;
    }
    const QByteArray data = file.readAll();
    if (data.size() < 12 || !data.startsWith("RIFF") || data.mid(8, 4) != "WAVE") {
        error = QStringLiteral("not a RIFF/WAVE file: ") + path;
        return false;
    }
    int format = 0, channels = 0, bits = 0;
    std::uint32_t rate = 0;
    const char* samples = nullptr;
    qint64 sampleBytes = 0;
    for (qint64 at = 12; at + 8 <= data.size();) {
        const char* chunk = data.constData() + at;
        const qint64 size = readU32(chunk + 4);
        const qint64 available = std::min<qint64>(size, data.size() - at - 8);
        if (std::memcmp(chunk, "fmt ", 4) == 0 && available >= 16) {
            format = readU16(chunk + 8);
            channels = readU16(chunk + 10);
            rate = readU32(chunk + 12);
            bits = readU16(chunk + 22);
            if (format == 0xFFFE && available >= 26)
                format = readU16(chunk + 32);
        } else if (std::memcmp(chunk, "data", 4) == 0) {
            samples = chunk + 8;
            sampleBytes = available;
        }
        at += 8 + size + (size & 1);
    }
    const bool pcm = format == 1 && (bits == 8 || bits == 16 || bits == 24 || bits == 32);
    const bool floating = format == 3 && (bits == 32 || bits == 64);
    if (!samples || channels < 1 || rate == 0 || !(pcm || floating)) {
        error = QStringLiteral("unsupported WAV format (PCM 8/16/24/32 or float 32/64 only)");
        return false;
    }
    const int frameBytes = channels * bits / 8;
    const qint64 frames = sampleBytes / frameBytes;
    const qint64 blockFrames = std::max<qint64>(1, rate * waveBlockMs / 1000);
    if (frames == 0) {
        error = QStringLiteral("WAV file has no samples");
        return false;
    }
    std::vector<std::vector<float>> peaks(channels);
    for (qint64 start = 0; start < frames; start += blockFrames) {
        const qint64 end = std::min(frames, start + blockFrames);
        for (int c = 0; c < channels; ++c) {
            double peak = 0;
            for (qint64 f = start; f < end; ++f)
                peak = std::max(
                    peak, sampleMagnitude(samples + f * frameBytes + c * bits / 8, format, bits));
            peaks[c].push_back(static_cast<float>(std::min(peak, 1.0)));
        }
    }
    wavePeaks = std::move(peaks);
    return true;
}

void MeterSource::fill(MeterData& meters, qint64 elapsedMs) const
{
    for (int k = 0; k < MeterData::WordCount; ++k) {
        double level = 0;
        switch (kind) {
        case Kind::Silent:
            break;
        case Kind::Full:
            level = 1.0;
            break;
        case Kind::Fixed:
            meters.words[k] = k < static_cast<int>(fixedWords.size()) ? fixedWords[k] : 0;
            continue;
        case Kind::Sine: {
            // Each source swings between -48 and -3 dBFS with its own period and phase,
            // so neighbouring meters visibly move apart.
            const double period = 2000.0 + 170.0 * k;
            const double swing = 0.5 + 0.5 * std::sin(2 * M_PI * elapsedMs / period + 0.7 * k);
            level = std::pow(10.0, (-48.0 + 45.0 * swing) / 20.0);
            break;
        }
        case Kind::Wave: {
            const auto& channel = wavePeaks[k % wavePeaks.size()];
            level = channel[(elapsedMs / waveBlockMs) % channel.size()];
            break;
        }
        }
        meters.words[k] = static_cast<std::int32_t>(std::lround(level * fullScale));
    }
}
