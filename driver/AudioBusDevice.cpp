// Discovery, the request plumbing shared by every request, and identification.
#include "driver/AudioBusDevice.h"

#include "platform/DriverDevice.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <exception>
#include <iostream>
#include <string>

namespace {

constexpr int kDeviceCount = 16;
constexpr int kQueryReplySize = 32;
constexpr unsigned kFirmwareSize = 10;

std::array<std::wstring, kDeviceCount> buildDeviceNames()
{
    std::array<std::wstring, kDeviceCount> names;
    for (int i = 0; i < kDeviceCount; ++i)
        names[i] = L"\\\\.\\QuorvixAudioBus" + std::to_wstring(i);
    return names;
}

// Built once at program start; openDevice tries them in this order.
const std::array<std::wstring, kDeviceCount> deviceNames = buildDeviceNames();

void putU32(std::uint8_t* p, std::uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

std::uint32_t getU32(const std::uint8_t* p)
{
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
           std::uint32_t(p[3]) << 24;
}

} // namespace

AudioBusDevice::~AudioBusDevice()
{
    closeDevice();
}

bool AudioBusDevice::openDevice()
{
    for (const std::wstring& name : deviceNames) {
        const platform::NativeHandle opened = platform::openDriverDevice(name);
        if (opened != platform::kInvalidHandle) {
            handle = opened;
            std::wcout << L"Open device " << name << L" success!" << std::endl;
            return true;
        }
        const std::uint32_t failure = platform::lastError();
        std::wcout << L"Open device " << name << L" failed, error: " << failure << std::endl;
    }
    return false;
}

void AudioBusDevice::closeDevice()
{
    if (handle == platform::kInvalidHandle)
        return;
    platform::closeDriverDevice(handle);
    handle = platform::kInvalidHandle;
}

bool AudioBusDevice::isOpen() const
{
    return handle != platform::kInvalidHandle;
}

bool AudioBusDevice::request(std::uint32_t code, const void* in, std::uint32_t inLength, void* out,
                             std::uint32_t outLength, std::uint32_t* bytesReturned)
{
    if (!isOpen())
        return false;
    std::uint32_t returned = 0;
    const bool ok =
        platform::deviceIoControl(handle, code, in, inLength, out, outLength, &returned);
    if (bytesReturned)
        *bytesReturned = returned;
    if (!ok)
        ++failures;
    return ok;
}

// The output lands in a little-endian copy of the caller's current value, so a short
// reply changes only the bytes the driver wrote, just as when the driver writes the
// variable itself.
bool AudioBusDevice::requestU32(std::uint32_t code, std::uint32_t& value)
{
    std::uint8_t buffer[4];
    putU32(buffer, value);
    if (!request(code, nullptr, 0, buffer, sizeof buffer, nullptr))
        return false;
    value = getU32(buffer);
    return true;
}

bool AudioBusDevice::sendU32(std::uint32_t code, std::uint32_t value)
{
    std::uint8_t buffer[4];
    putU32(buffer, value);
    return request(code, buffer, sizeof buffer, nullptr, 0, nullptr);
}

bool AudioBusDevice::sendCommand(const DeviceCommand& command)
{
    return request(RequestCode::SendCommand, command.bytes.data(), DeviceCommand::Size, nullptr, 0,
                   nullptr);
}

bool AudioBusDevice::queryCommand(const DeviceCommand& command, QByteArray& reply)
{
    return query(command, reply, nullptr);
}

bool AudioBusDevice::query(const DeviceCommand& command, QByteArray& reply,
                           std::uint32_t* bytesReturned)
{
    reply.resize(kQueryReplySize, '\0');
    return request(RequestCode::QueryCommand, command.bytes.data(), DeviceCommand::Size,
                   reply.data(), kQueryReplySize, bytesReturned);
}

bool AudioBusDevice::readProductId(DevicePid& pid)
{
    return requestU32(RequestCode::ReadProductId, pid);
}

bool AudioBusDevice::readFirmwareVersion(std::uint8_t* bytes, unsigned count)
{
    try {
        const DeviceCommand command = DeviceCommand::make(VendorOpcode::FirmwareVersion);
        if (!isOpen()) {
            std::cerr << "Failed to read firmware version from device." << std::endl;
            return false;
        }
        QByteArray reply(kQueryReplySize, '\0');
        std::uint32_t returned = 0;
        if (!query(command, reply, &returned)) {
            std::cerr << "Failed to read firmware version from device." << std::endl;
            return false;
        }
        if (returned < kFirmwareSize) {
            std::cerr << "Invalid firmware version response size." << std::endl;
            return false;
        }
        const unsigned copied = std::min(count, kFirmwareSize);
        if (bytes && copied > 0)
            std::memcpy(bytes, reply.constData(), copied);
        return true;
    } catch (const std::exception& e) {
        const char* what = e.what();
        std::cerr << "Failed to get firmware version: " << (what && *what ? what : "Unknown error")
                  << std::endl;
    } catch (...) {
        std::cerr << "Failed to get firmware version: Unknown error" << std::endl;
    }
    return false;
}
