// Level text and the phone mean shared by every panel.
#include "panels/PanelBase.h"

#include <QTest>

#include <cmath>
#include <limits>

class PanelBaseTest : public QObject
{
    Q_OBJECT

private slots:
    void levelTextHasOneDecimalAndReadsSilenceAsMinusInfinity_data()
    {
        QTest::addColumn<double>("db");
        QTest::addColumn<QString>("text");
        QTest::newRow("silence") << -std::numeric_limits<double>::infinity() << "-inf dB";
        QTest::newRow("full scale") << 0.0 << "0.0 dB";
        QTest::newRow("rounded") << -23.44 << "-23.4 dB";
        QTest::newRow("rounded up") << -6.0206 << "-6.0 dB";
        QTest::newRow("smallest word") << -186.64 << "-186.6 dB";
    }
    void levelTextHasOneDecimalAndReadsSilenceAsMinusInfinity()
    {
        QFETCH(double, db);
        QFETCH(QString, text);
        QCOMPARE(PanelBase::levelText(db), text);
    }

    void meanWordTruncatesTowardZeroWithoutOverflow_data()
    {
        QTest::addColumn<int>("a");
        QTest::addColumn<int>("b");
        QTest::addColumn<int>("mean");
        const int max = std::numeric_limits<std::int32_t>::max();
        const int min = std::numeric_limits<std::int32_t>::min();
        QTest::newRow("odd positive") << 3 << 0 << 1;
        QTest::newRow("odd negative") << -3 << 0 << -1;
        QTest::newRow("both full scale") << max << max << max;
        QTest::newRow("both most negative") << min << min << min;
        QTest::newRow("opposite extremes") << min << max << 0;
    }
    void meanWordTruncatesTowardZeroWithoutOverflow()
    {
        QFETCH(int, a);
        QFETCH(int, b);
        QFETCH(int, mean);
        QCOMPARE(PanelBase::meanWord(a, b), mean);
    }
};

QTEST_MAIN(PanelBaseTest)
#include "PanelBaseTest.moc"
