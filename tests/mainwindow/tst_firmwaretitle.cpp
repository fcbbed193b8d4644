// Title building from firmware bytes: every byte is one character, zero bytes included,
// and bytes that look like placeholders stay as they are.
#include "mainwindow/FirmwareTitle.h"

#include <QtTest>

class TestFirmwareTitle : public QObject
{
    Q_OBJECT

private slots:
    void formatsPerModel()
    {
        QCOMPARE(firmwareTitleFormat(1), QString("Quorvix TK1 - FW: %1%2%3%4%5%6%7%8%9%10"));
        QCOMPARE(firmwareTitleFormat(2), QString("Quorvix TK2 - FW: %1%2%3%4%5%6%7%8%9%10"));
        QCOMPARE(firmwareTitleFormat(15), QString("Quorvix ZR - FW: %1%2%3%4%5%6%7%8%9%10"));
        QVERIFY(firmwareTitleFormat(7).isEmpty());
        QVERIFY(firmwareTitleFormat(0).isEmpty());
    }

    void zeroBytesBecomeCharacters()
    {
        const std::uint8_t bytes[10] = {'1', '.', '0', '.', '3', 0, 0, 0, 0, 0};
        const QString title = buildFirmwareTitle(firmwareTitleFormat(2), bytes);
        QString expected = QStringLiteral("Quorvix TK2 - FW: 1.0.3");
        expected += QString(5, QChar(0));
        QCOMPARE(title, expected);
        QCOMPARE(title.size(), 28);
    }

    void highBytesMapToLatin1Codes()
    {
        const std::uint8_t bytes[10] = {0xFF, 0x80, 'A', 0x7F, 1, 2, 3, 4, 5, 0xE9};
        const QString title = buildFirmwareTitle(firmwareTitleFormat(1), bytes);
        const QString tail = title.mid(QStringLiteral("Quorvix TK1 - FW: ").size());
        QCOMPARE(tail.size(), 10);
        for (int i = 0; i < 10; ++i) {
            QCOMPARE(tail.at(i).unicode(), char16_t(bytes[i]));
        }
    }

    void placeholderLookalikesAreNotSubstitutedAgain()
    {
        // "%" followed by "1" in the data must not swallow a later byte.
        const std::uint8_t bytes[10] = {'%', '1', 'x', '%', '%', '9', '0', 'a', 'b', 'c'};
        const QString title = buildFirmwareTitle(firmwareTitleFormat(15), bytes);
        QCOMPARE(title, QString("Quorvix ZR - FW: %1x%%90abc"));
    }
};

QTEST_GUILESS_MAIN(TestFirmwareTitle)
#include "tst_firmwaretitle.moc"
