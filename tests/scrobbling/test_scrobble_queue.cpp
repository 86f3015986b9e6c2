#include "LogCapture.h"
#include "core/SettingsKeys.h"
#include "core/SettingsStore.h"
#include "scrobbling/ScrobbleQueue.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;
using Entries = QList<QueuedScrobble>;

namespace {
QueuedScrobble entry(qint64 timestamp)
{
    return { u"Artist"_s, u"Track %1"_s.arg(timestamp), QString(), 180, timestamp };
}

Entries entries(qint64 from, qint64 count)
{
    Entries list;
    for (qint64 i = 0; i < count; ++i)
        list.append(entry(from + i));
    return list;
}
} // namespace

class TestScrobbleQueue : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<SettingsStore> m_defaults;

    QString settingsPath() const { return m_dir->filePath(u"defaults.json"_s); }

private Q_SLOTS:
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        m_defaults = std::make_unique<SettingsStore>(settingsPath());
    }

    void storedAsJsonDataAndWrittenOnEveryChange()
    {
        ScrobbleQueue queue(*m_defaults);
        QCOMPARE(queue.entries(), Entries());
        const QueuedScrobble withAlbum { u"Sigur Rós"_s, u"Hoppípolla"_s, u"Takk…"_s, 268,
                                         1700000000 };
        QCOMPARE(queue.append(withAlbum).value_or(-1), qsizetype(1));
        QCOMPARE(queue.append(entry(2)).value_or(-1), qsizetype(2));

        // Another process reading the file now (as after kill -9) finds both.
        const auto stored
            = SettingsStore(settingsPath()).dataValue(SettingsKeys::lastfmScrobbleQueue);
        QVERIFY(stored);
        QCOMPARE(ScrobbleQueue::decode(*stored).value_or(Entries()),
                 (Entries { withAlbum, entry(2) }));
        QVERIFY(stored->startsWith(R"([{"album":"Takk…","artist":"Sigur Rós","duration":268,)"));
        queue.clear();
        QCOMPARE(m_defaults->dataValue(SettingsKeys::lastfmScrobbleQueue), QByteArray("[]"));

        const auto noAlbum
            = ScrobbleQueue::decode(R"([{"artist":"a","track":"t","duration":0,"timestamp":5}])");
        QVERIFY(noAlbum);
        QCOMPARE(noAlbum->first().album, QString());
        for (const char *damaged :
             { R"({"artist":"a"})", R"([{"artist":"a","track":"t","album":"","duration":0}])",
               R"([{"artist":"a","track":"t","album":"","duration":1.5,"timestamp":5}])",
               R"([{"artist":"a","track":7,"album":"","duration":1,"timestamp":5}])",
               "[{\"artist\":" })
            QVERIFY2(!ScrobbleQueue::decode(damaged), damaged);
    }

    void damagedQueueIsSetAsideNotOverwritten_data()
    {
        QTest::addColumn<QVariant>("stored");
        QTest::addColumn<QByteArray>("kept");
        QTest::newRow("not JSON") << QVariant(QByteArray("[{\"artist\":\"A\","))
                                  << QByteArray("[{\"artist\":\"A\",");
        QTest::newRow("incomplete entry") << QVariant(QByteArray(R"([{"artist":"A","track":"T"}])"))
                                          << QByteArray(R"([{"artist":"A","track":"T"}])");
        QTest::newRow("not data") << QVariant(u"[]"_s) << QByteArray("[\n    \"[]\"\n]\n");
    }

    void damagedQueueIsSetAsideNotOverwritten()
    {
        QFETCH(QVariant, stored);
        QFETCH(QByteArray, kept);
        QVERIFY(m_defaults->setValue(SettingsKeys::lastfmScrobbleQueue, stored));
        LogCapture log;
        ScrobbleQueue queue(*m_defaults);
        QCOMPARE(queue.append(entry(1)).value_or(-1), qsizetype(1));
        QCOMPARE(queue.entries(), Entries { entry(1) });
        const QStringList aside
            = QDir(m_dir->path()).entryList({ u"lastfmScrobbleQueue.json.damaged-*"_s });
        QCOMPARE(aside.size(), 1);
        QFile file(m_dir->filePath(aside.first()));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), kept);
        QVERIFY(log.contains(u"[LastFm] the scrobble queue was set aside as "_s + file.fileName()));
    }

    void damagedQueueThatCannotBeSetAsideIsLeftAlone()
    {
        // Settings whose folder is a plain file: nothing can be written beside them, not even by
        // root.
        QFile blocker(m_dir->filePath(u"blocker"_s));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        SettingsStore stuck(m_dir->filePath(u"blocker/defaults.json"_s));
        const QByteArray damaged = "not a queue";
        QVERIFY(stuck.setValue(SettingsKeys::lastfmScrobbleQueue, damaged));
        ScrobbleQueue queue(stuck);
        QVERIFY(!queue.append(entry(1)));
        QVERIFY(!queue.store({}));
        QCOMPARE(stuck.dataValue(SettingsKeys::lastfmScrobbleQueue), damaged);
    }

    void deliveredBatchLeavesTheFront()
    {
        const Entries batch = entries(0, 20);
        // Sent and untouched.
        QCOMPARE(ScrobbleQueue::deliveredPrefix(entries(0, 30), batch), qsizetype(20));
        // A scrobble queued while the batch was out stays.
        QCOMPARE(ScrobbleQueue::deliveredPrefix(entries(0, 21), batch), qsizetype(20));
        // The cap pushed the batch's first entry out meanwhile: only its rest leaves.
        QCOMPARE(ScrobbleQueue::deliveredPrefix(entries(1, 30), batch), qsizetype(19));
        // The queue was emptied or replaced meanwhile: nothing of it leaves.
        QCOMPARE(ScrobbleQueue::deliveredPrefix({}, batch), qsizetype(0));
        QCOMPARE(ScrobbleQueue::deliveredPrefix(entries(100, 5), batch), qsizetype(0));

        ScrobbleQueue queue(*m_defaults);
        QVERIFY(queue.store(entries(0, 21)));
        QCOMPARE(queue.removeDelivered(batch), qsizetype(1));
        QCOMPARE(queue.entries(), Entries { entry(20) });

        // The newest five hundred are kept.
        QVERIFY(queue.store(entries(0, 500)));
        QCOMPARE(queue.append(entry(500)).value_or(-1), qsizetype(500));
        QCOMPARE(queue.entries(), entries(1, 500));
    }
};

QTEST_GUILESS_MAIN(TestScrobbleQueue)
#include "test_scrobble_queue.moc"
