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
Entries entries(qint64 from, qint64 count)
{
    Entries list;
    for (qint64 i = from; i < from + count; ++i)
        list.append({ u"Artist"_s, u"Track %1"_s.arg(i), QString(), 180, i });
    return list;
}
} // namespace

class TestScrobbleQueue : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<SettingsStore> m_defaults;

private Q_SLOTS:
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        m_defaults = std::make_unique<SettingsStore>(m_dir->filePath(u"defaults.json"_s));
    }

    void storedOnEveryChange()
    {
        ScrobbleQueue queue(*m_defaults);
        const QueuedScrobble played { u"Sigur Rós"_s, u"Hoppípolla"_s, u"Takk…"_s, 268,
                                      1700000000 };
        QCOMPARE(queue.append(played).value_or(-1), qsizetype(1));
        // Another process reading the file now (as after kill -9) finds it, in the stored format.
        const auto stored = SettingsStore(m_defaults->filePath())
                                .dataValue(SettingsKeys::lastfmScrobbleQueue)
                                .value_or(QByteArray());
        QCOMPARE(stored,
                 QByteArray(R"([{"album":"Takk…","artist":"Sigur Rós","duration":268,)"
                            R"("timestamp":1700000000,"track":"Hoppípolla"}])"));
        QCOMPARE(ScrobbleQueue::decode(R"([{"artist":"a","track":"t","duration":0,"timestamp":5}])")
                     .value_or(Entries())
                     .size(),
                 1); // an album left out is unknown
        for (const char *damaged :
             { R"({"artist":"a"})", R"([{"artist":"a","track":"t","album":"","duration":0}])",
               R"([{"artist":"a","track":"t","album":"","duration":1.5,"timestamp":5}])" })
            QVERIFY2(!ScrobbleQueue::decode(damaged), damaged);
    }

    void damagedQueueIsSetAsideNotOverwritten_data()
    {
        QTest::addColumn<QVariant>("stored");
        QTest::addColumn<QByteArray>("kept");
        QTest::newRow("not JSON") << QVariant(QByteArray("[{\"artist\":\"A\","))
                                  << QByteArray("[{\"artist\":\"A\",");
        QTest::newRow("not data") << QVariant(u"[]"_s) << QByteArray("[\n    \"[]\"\n]\n");
    }

    void damagedQueueIsSetAsideNotOverwritten()
    {
        QFETCH(QVariant, stored);
        QFETCH(QByteArray, kept);
        QVERIFY(m_defaults->setValue(SettingsKeys::lastfmScrobbleQueue, stored));
        LogCapture log;
        ScrobbleQueue queue(*m_defaults);
        QCOMPARE(queue.append(entries(1, 1).first()).value_or(-1), qsizetype(1));
        const QStringList aside
            = QDir(m_dir->path()).entryList({ u"lastfmScrobbleQueue.json.damaged-*"_s });
        QCOMPARE(aside.size(), 1);
        QFile file(m_dir->filePath(aside.first()));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), kept);
        QVERIFY(log.contains(u"[LastFm] the scrobble queue was set aside as "_s + file.fileName()));

        // Settings whose folder is a plain file: the copy cannot be made, so nothing is replaced.
        SettingsStore stuck(file.fileName() + u"/defaults.json"_s);
        QVERIFY(stuck.setValue(SettingsKeys::lastfmScrobbleQueue, stored));
        QVERIFY(!ScrobbleQueue(stuck).append(entries(1, 1).first()));
        QCOMPARE(stuck.object(SettingsKeys::lastfmScrobbleQueue), stored);
    }

    void deliveredBatchLeavesTheFront()
    {
        const Entries batch = entries(0, 20);
        // Sent and untouched; a scrobble queued while the batch was out stays.
        QCOMPARE(ScrobbleQueue::deliveredPrefix(entries(0, 21), batch), qsizetype(20));
        // The cap pushed the batch's first entry out meanwhile: only its rest leaves.
        QCOMPARE(ScrobbleQueue::deliveredPrefix(entries(1, 30), batch), qsizetype(19));
        // The queue was emptied or replaced meanwhile: nothing of it leaves.
        QCOMPARE(ScrobbleQueue::deliveredPrefix({}, batch), qsizetype(0));
        QCOMPARE(ScrobbleQueue::deliveredPrefix(entries(100, 5), batch), qsizetype(0));

        ScrobbleQueue queue(*m_defaults);
        QVERIFY(queue.store(entries(0, 21)));
        QCOMPARE(queue.removeDelivered(batch), qsizetype(1));
        QCOMPARE(queue.entries(), entries(20, 1));

        // The newest five hundred are kept.
        QVERIFY(queue.store(entries(0, 500)));
        QCOMPARE(queue.append(entries(500, 1).first()).value_or(-1), qsizetype(500));
        QCOMPARE(queue.entries(), entries(1, 500));
    }
};

QTEST_GUILESS_MAIN(TestScrobbleQueue)
#include "test_scrobble_queue.moc"
