// The log file: every message reaches the previous handler unchanged and the file with a
// time stamp, the two files keep to their size at the limit, lines from many threads
// arrive whole, and a folder or disk that refuses the file never stops the logging.
#include "LogCapture.h"
#include "app/LogFile.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QThread>
#include <QtTest>

#include <memory>
#include <vector>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

namespace {

const QRegularExpression
    kStamped(QStringLiteral("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3} debug (.*)$"));

QString outDir()
{
    return qEnvironmentVariable("QUORVIX_TEST_OUT");
}

// The messages of a log file, time stamps checked and taken off.
QStringList messagesIn(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QStringList messages;
    for (const QString& line : QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts)) {
        const QRegularExpressionMatch match = kStamped.match(line);
        messages.append(match.hasMatch() ? match.captured(1) : QStringLiteral("UNSTAMPED ") + line);
    }
    return messages;
}

} // namespace

class TestLogFile : public QObject
{
    Q_OBJECT

    QString folder;
    QString current() const { return folder + QStringLiteral("/QuorvixMixer.log"); }
    QString older() const { return folder + QStringLiteral("/QuorvixMixer.log.1"); }

private slots:
    void init()
    {
        folder = outDir() + QStringLiteral("/logs");
        QDir(outDir()).removeRecursively();
    }

    void rotatesAtItsLimitAndPassesEveryMessageOn()
    {
        constexpr qint64 limit = 4096;
        // A file left nearly full by the last run is continued, then moved aside.
        QVERIFY(QDir().mkpath(folder));
        QFile earlier(current());
        QVERIFY(earlier.open(QIODevice::WriteOnly));
        earlier.write(QByteArray(4000, 'e') + '\n');
        earlier.close();

        LogCapture capture(false);
        QStringList sent;
        {
            LogFile log(folder, limit);
            for (int i = 0; i < 300; ++i) {
                sent.append(
                    QStringLiteral("line %1 \"%2\"").arg(i, 3, 10, QLatin1Char('0')).arg("x"));
                qDebug().noquote() << sent.last();
            }
            QVERIFY(log.flush());
            QVERIFY(QFileInfo(current()).size() <= limit);
            QVERIFY(QFileInfo(older()).size() <= limit);
            const QStringList newest = messagesIn(current());
            const QStringList before = messagesIn(older());
            QVERIFY(!newest.isEmpty() && !before.isEmpty());
            QCOMPARE(newest.last(), sent.last());
            // The two files hold the newest lines without a gap, the oldest ones are gone.
            const QStringList kept = before + newest;
            QCOMPARE(kept, sent.mid(sent.size() - kept.size()));
            QVERIFY(kept.size() < sent.size());

            // A message longer than a whole file is cut to fit one.
            qDebug().noquote() << QString(3 * limit, QLatin1Char('y'));
            QVERIFY(log.flush());
            QCOMPARE(QFileInfo(current()).size(), limit);
            QCOMPARE(QFileInfo(older()).size() <= limit, true);
        }
        // The previous handler saw every message exactly as it was sent.
        QCOMPARE(capture.lines().mid(0, sent.size()), sent);
        QCOMPARE(capture.lines().size(), sent.size() + 1);

        // After the log file is gone, messages reach the previous handler only.
        const qint64 size = QFileInfo(current()).size();
        qDebug() << "after";
        QCOMPARE(capture.lines().last(), QStringLiteral("after"));
        QCOMPARE(QFileInfo(current()).size(), size);
    }

    void linesFromManyThreadsArriveWhole()
    {
        LogCapture capture(false);
        constexpr int threads = 4;
        constexpr int perThread = 500;
        {
            LogFile log(folder);
            std::vector<std::unique_ptr<QThread>> senders;
            for (int t = 0; t < threads; ++t) {
                senders.emplace_back(QThread::create([t] {
                    for (int i = 0; i < perThread; ++i)
                        qDebug("thread %d line %d", t, i);
                }));
                senders.back()->start();
            }
            for (auto& sender : senders)
                QVERIFY(sender->wait(20000));
            QVERIFY(log.flush());
        }
        const QStringList messages = messagesIn(current());
        QCOMPARE(messages.size(), threads * perThread);
        for (int t = 0; t < threads; ++t) {
            // Each thread's lines in its own order.
            const QStringList own =
                messages.filter(QRegularExpression(QStringLiteral("^thread %1 ").arg(t)));
            QCOMPARE(own.size(), perThread);
            for (int i = 0; i < perThread; ++i)
                QCOMPARE(own.at(i), QStringLiteral("thread %1 line %2").arg(t).arg(i));
        }
        QCOMPARE(capture.lines().size(), threads * perThread);
    }

    void aFolderOrDiskThatRefusesTheFileNeverStopsTheLogging()
    {
        // The folder cannot be made: a file stands where it would go.
        QVERIFY(QDir().mkpath(folder));
        QFile blocker(outDir() + QStringLiteral("/blocked"));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        const QString unmakeable = blocker.fileName() + QStringLiteral("/logs");
        // A FIFO where the file goes, which would block a writer that opened it.
        const QString piped = outDir() + QStringLiteral("/piped");
        QVERIFY(QDir().mkpath(piped));
        QCOMPARE(::mkfifo(QFile::encodeName(piped + "/QuorvixMixer.log").constData(), 0600), 0);
        // A full disk: every write past 8 KB fails (EFBIG instead of ENOSPC, the same to
        // the writer).
        ::signal(SIGXFSZ, SIG_IGN);
        rlimit saved{};
        QCOMPARE(::getrlimit(RLIMIT_FSIZE, &saved), 0);

        for (const QString& where : {unmakeable, piped, folder}) {
            rlimit capped = saved;
            capped.rlim_cur = where == folder ? 8192 : saved.rlim_cur;
            QCOMPARE(::setrlimit(RLIMIT_FSIZE, &capped), 0);
            QStringList passedOn;
            QElapsedTimer timer;
            timer.start();
            {
                LogCapture capture(false);
                LogFile log(where);
                for (int i = 0; i < 2000; ++i)
                    qDebug("refused %d", i);
                QVERIFY(log.flush());
                passedOn = capture.lines();
            }
            QCOMPARE(::setrlimit(RLIMIT_FSIZE, &saved), 0);
            qInfo("%s: 2000 messages in %lld ms", qPrintable(where), timer.elapsed());
            // Only the messages themselves, none about the file.
            QCOMPARE(passedOn.size(), 2000);
            QCOMPARE(passedOn.last(), QStringLiteral("refused 1999"));
        }
        QVERIFY(!QFileInfo::exists(unmakeable));
        const QStringList written = messagesIn(current());
        QVERIFY(QFileInfo(current()).size() <= 8192);
        QVERIFY(!written.isEmpty());
        QCOMPARE(written.first(), QStringLiteral("refused 0"));
    }
};

QTEST_GUILESS_MAIN(TestLogFile)
#include "tst_logfile.moc"
