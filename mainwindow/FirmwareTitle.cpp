#include "mainwindow/FirmwareTitle.h"

QString firmwareTitleFormat(DevicePid pid)
{
    switch (pid) {
    case 1:
        return QStringLiteral("Quorvix TK1 - FW: %1%2%3%4%5%6%7%8%9%10");
    case 2:
        return QStringLiteral("Quorvix TK2 - FW: %1%2%3%4%5%6%7%8%9%10");
    case 15:
        return QStringLiteral("Quorvix ZR - FW: %1%2%3%4%5%6%7%8%9%10");
    default:
        return QString();
    }
}

QString buildFirmwareTitle(const QString& format, const std::uint8_t (&bytes)[10])
{
    QString c[10];
    for (int i = 0; i < 10; ++i) {
        c[i] = QString(QChar(static_cast<char16_t>(bytes[i])));
    }
    // One pass over the format: a byte that reads like a placeholder ('%' then digits)
    // must appear as itself, never be substituted again.
    return format.arg(c[0], c[1], c[2], c[3], c[4], c[5], c[6], c[7], c[8], c[9]);
}
