#include "core/SettingsStore.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <cstdio>

using namespace Qt::StringLiterals;

namespace {
// About 100 KB, a full scrobble queue, so that a write takes real time.
QByteArray blobFor(qint64 step)
{
    return QByteArray::number(step).repeated(100 * 1024 / 8).left(100 * 1024);
}

// Run as the writer: stores "step" = n, then "mirror" = {step: n, blob}, as fast as it can
// until it is killed.
int runWriter(const QString &path)
{
    SettingsStore settings(path);
    qint64 step = settings.integerValue(u"step"_s).value_or(0);
    for (bool first = true;; first = false) {
        ++step;
        settings.setValue(u"step"_s, step);
        settings.setValue(u"mirror"_s,
                          QVariantMap { { u"step"_s, step }, { u"blob"_s, blobFor(step) } });
        if (first) {
            std::puts("writing");
            std::fflush(stdout);
        }
    }
}
} // namespace

// Kills a writer at random moments: the file left behind always parses, and holds the old or
// the new value of every key.
class TestSettingsStoreCrash : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void killDuringWritesNeverTearsTheFile()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(u"defaults.json"_s);
        qint64 lastStep = 0;
        for (int run = 0; run < 200; ++run) {
            QProcess writer;
            writer.start(QCoreApplication::applicationFilePath(), { u"--writer"_s, path });
            QVERIFY2(writer.waitForReadyRead(10000), "the writer did not start writing");
            QTest::qSleep(int(QRandomGenerator::global()->bounded(25)));
            ::kill(pid_t(writer.processId()), SIGKILL);
            QVERIFY(writer.waitForFinished());
            QCOMPARE(writer.exitStatus(), QProcess::CrashExit);

            QFile file(path);
            QVERIFY(file.open(QIODevice::ReadOnly));
            QJsonParseError error;
            const QJsonObject stored = QJsonDocument::fromJson(file.readAll(), &error).object();
            QVERIFY2(error.error == QJsonParseError::NoError, qPrintable(error.errorString()));
            const qint64 step = stored.value(u"step"_s).toInteger();
            const QVariantMap mirror = SettingsStore::fromStored(stored.value(u"mirror"_s)).toMap();
            const qint64 mirrorStep = mirror.value(u"step"_s).toLongLong();
            QVERIFY(step >= lastStep);
            QVERIFY2(mirrorStep == step || mirrorStep == step - 1,
                     qPrintable(u"step %1, mirror %2"_s.arg(step).arg(mirrorStep)));
            QCOMPARE(mirror.value(u"blob"_s).toByteArray(), blobFor(mirrorStep));
            lastStep = step;
        }
        QVERIFY(lastStep > 200);
        // The file the next launch opens is intact, not set aside.
        QCOMPARE(SettingsStore(path).integerValue(u"step"_s), lastStep);
    }
};

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    if (argc == 3 && qstrcmp(argv[1], "--writer") == 0)
        return runWriter(QString::fromLocal8Bit(argv[2]));
    TestSettingsStoreCrash test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_settingsstore_crash.moc"
