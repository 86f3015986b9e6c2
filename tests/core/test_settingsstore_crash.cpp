#include "core/SettingsStore.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

using namespace Qt::StringLiterals;

// Kills a process that rewrites the defaults file in a loop at random moments, and checks that
// the file left behind always parses and holds a consistent old-or-new value of every key.
class TestUserDefaultsCrash : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void killDuringWritesNeverTearsTheFile()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(u"defaults.json"_s);
        const QString writer = QCoreApplication::applicationDirPath() + u"/settings_writer"_s;
        QVERIFY(QFile::exists(writer));
        qint64 lastStep = 0;
        int kills = 0;
        for (int run = 0; run < 200; ++run) {
            QProcess process;
            process.start(writer, { path });
            QVERIFY(process.waitForStarted());
            QVERIFY2(process.waitForReadyRead(10000), "writer did not start writing");
            QTest::qSleep(int(QRandomGenerator::global()->bounded(25)));
            ::kill(pid_t(process.processId()), SIGKILL);
            QVERIFY(process.waitForFinished());
            if (process.exitStatus() == QProcess::CrashExit)
                ++kills;

            QFile file(path);
            QVERIFY(file.open(QIODevice::ReadOnly));
            QJsonParseError error;
            const QJsonObject stored = QJsonDocument::fromJson(file.readAll(), &error).object();
            QVERIFY2(error.error == QJsonParseError::NoError, qPrintable(error.errorString()));

            const qint64 step = stored.value(u"step"_s).toInteger();
            const QJsonObject mirror = stored.value(u"mirror"_s).toObject();
            const qint64 mirrorStep = mirror.value(u"step"_s).toInteger();
            QVERIFY(step >= lastStep);
            QVERIFY2(mirrorStep == step || mirrorStep == step - 1,
                     qPrintable(u"step %1, mirror %2"_s.arg(step).arg(mirrorStep)));
            const QByteArray blob = QByteArray::fromBase64(
                mirror.value(u"blob"_s).toObject().value(u"$data"_s).toString().toLatin1());
            QCOMPARE(blob,
                     QByteArray::number(mirrorStep).repeated(100 * 1024 / 8).left(100 * 1024));
            lastStep = step;
        }
        QCOMPARE(kills, 200);
        QVERIFY(lastStep > 200);
        // The file Vesper would open after all this is intact, not set aside.
        SettingsStore defaults(path);
        QCOMPARE(defaults.integerValue(u"step"_s), lastStep);
    }
};

QTEST_GUILESS_MAIN(TestUserDefaultsCrash)
#include "test_settingsstore_crash.moc"
