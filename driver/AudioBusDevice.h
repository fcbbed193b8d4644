#pragma once
// The program's only path to the interface's kernel driver. Owns one handle; every
// request is synchronous on the calling thread. Without an open device a request is
// not sent and returns false (0 for value getters); otherwise it returns the driver's
// answer, and outputs are written only on success.
#include "driver/DriverTypes.h"
#include "platform/PlatformTypes.h"

#include <QByteArray>

#include <cstdint>

class AudioBusDevice
{
public:
    AudioBusDevice() = default;
    ~AudioBusDevice();
    AudioBusDevice(const AudioBusDevice&) = delete;
    AudioBusDevice& operator=(const AudioBusDevice&) = delete;

    // Tries \\.\QuorvixAudioBus0..15 in order; the first that opens is kept.
    bool openDevice();
    void closeDevice();
    bool isOpen() const;
    // Requests sent to an open device that the driver refused, counted since construction.
    std::uint64_t failedRequests() const { return failures; }

    // Identification and the generic vendor command carriers.
    bool sendCommand(const DeviceCommand& command);
    bool queryCommand(const DeviceCommand& command, QByteArray& reply);
    bool readProductId(DevicePid& pid);
    bool readFirmwareVersion(std::uint8_t* bytes, unsigned count);

    // Mixer requests.
    bool writeMixerMatrix(const MixerMatrix& matrix);
    bool readMeters(MeterData& meters);
    bool setMicVolume(int channel, int level);
    bool setMic48V(int channel, int state);
    bool setMic20dB(int channel, int state);
    bool setMicInstrument(int channel, int state);
    bool setOutVolume(int channel, int level);
    static double dbToGain(double db);
    static double levelToDb(std::int32_t word);

    // Streaming requests.
    std::uint32_t getSampleRate();
    bool setSampleRate(std::uint32_t rate);
    bool setBufferSize(std::uint32_t size);
    bool getBufferSize(std::uint32_t& size);
    bool getUsbLatency(std::uint32_t& latency);
    bool setUsbLatency(std::uint32_t latency);
    bool stopAudio();
    bool initAudio();
    bool startAudio();
    bool setWdmChannels(std::uint32_t count);
    bool enableSlowMode();
    bool disableSlowMode();
    bool setOtgOn();
    bool setOtgOff();

private:
    // queryCommand that also reports how many reply bytes the driver wrote.
    bool query(const DeviceCommand& command, QByteArray& reply, std::uint32_t* bytesReturned);
    bool request(std::uint32_t code, const void* in, std::uint32_t inLength, void* out,
                 std::uint32_t outLength, std::uint32_t* bytesReturned);
    bool requestU32(std::uint32_t code, std::uint32_t& value);
    bool sendU32(std::uint32_t code, std::uint32_t value);

    platform::NativeHandle handle = platform::kInvalidHandle;
    std::uint64_t failures = 0;
};
