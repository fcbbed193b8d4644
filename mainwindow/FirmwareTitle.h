#pragma once
// Window title of a connected interface: the model's format with its ten placeholders
// %1..%10 replaced by the ten firmware bytes, one character per byte (code 0-255).
#include "driver/DriverTypes.h"

#include <QString>

#include <cstdint>

// The title format of a known model ("Quorvix TK2 - FW: %1...%10"); empty for others.
QString firmwareTitleFormat(DevicePid pid);
QString buildFirmwareTitle(const QString& format, const std::uint8_t (&bytes)[10]);
