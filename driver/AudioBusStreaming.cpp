// Streaming configuration: sample rate, buffer size, USB latency, stream control and
// the phone (OTG) chip.
#include "driver/AudioBusDevice.h"

#include <QDebug>

std::uint32_t AudioBusDevice::getSampleRate()
{
    std::uint32_t rate = 0;
    return requestU32(RequestCode::GetSampleRate, rate) ? rate : 0;
}

bool AudioBusDevice::setSampleRate(std::uint32_t rate)
{
    return sendU32(RequestCode::SetSampleRate, rate);
}

bool AudioBusDevice::setBufferSize(std::uint32_t size)
{
    return sendU32(RequestCode::SetBufferSize, size);
}

bool AudioBusDevice::getBufferSize(std::uint32_t& size)
{
    if (!requestU32(RequestCode::GetBufferSize, size))
        return false;
    qDebug() << "Buffer size:" << size;
    return true;
}

bool AudioBusDevice::getUsbLatency(std::uint32_t& latency)
{
    return requestU32(RequestCode::GetUsbLatency, latency);
}

bool AudioBusDevice::setUsbLatency(std::uint32_t latency)
{
    return sendU32(RequestCode::SetUsbLatency, latency);
}

bool AudioBusDevice::stopAudio()
{
    return request(RequestCode::StopAudio, nullptr, 0, nullptr, 0, nullptr);
}

bool AudioBusDevice::initAudio()
{
    return request(RequestCode::InitAudio, nullptr, 0, nullptr, 0, nullptr);
}

bool AudioBusDevice::startAudio()
{
    return request(RequestCode::StartAudio, nullptr, 0, nullptr, 0, nullptr);
}

bool AudioBusDevice::setWdmChannels(std::uint32_t count)
{
    return sendU32(RequestCode::SetWdmChannels, count);
}

bool AudioBusDevice::enableSlowMode()
{
    return request(RequestCode::EnableSlowMode, nullptr, 0, nullptr, 0, nullptr);
}

bool AudioBusDevice::disableSlowMode()
{
    return request(RequestCode::DisableSlowMode, nullptr, 0, nullptr, 0, nullptr);
}

bool AudioBusDevice::setOtgOn()
{
    return sendCommand(DeviceCommand::make(VendorOpcode::OtgOn));
}

bool AudioBusDevice::setOtgOff()
{
    return sendCommand(DeviceCommand::make(VendorOpcode::OtgOff));
}
