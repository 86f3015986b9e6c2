#include "LogCapture.h"
#include "core/SettingsStore.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

class TestUserDefaults : public QObject
{
    Q_OBJECT

    QString path() const { return m_dir->filePath(u"vesper/defaults.json"_s); }
    QJsonObject storedFile() const
    {
        QFile file(path());
        return file.open(QIODevice::ReadOnly) ? QJsonDocument::fromJson(file.readAll()).object()
                                              : QJsonObject();
    }
    void writeFile(const QByteArray &contents) const
    {
        QDir().mkpath(QFileInfo(path()).path());
        QFile file(path());
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(contents);
    }
    QStringList damagedCopies() const
    {
        return QDir(QFileInfo(path()).path()).entryList({ u"defaults.json.damaged-*"_s });
    }

    std::unique_ptr<QTemporaryDir> m_dir;

private Q_SLOTS:
    void init() { m_dir = std::make_unique<QTemporaryDir>(); }

    void typesSurviveARestart()
    {
        const QDateTime date
            = QDateTime::fromString(u"2026-03-04T05:06:07.089Z"_s, Qt::ISODateWithMs);
        const QByteArray data("\x00\x01\xfe\xff binary", 12);
        {
            SettingsStore defaults(path());
            defaults.setValue(u"bool"_s, true);
            defaults.setValue(u"one"_s, 1);
            defaults.setValue(u"big"_s, qint64(9007199254740993LL));
            defaults.setValue(u"half"_s, 1.5);
            defaults.setValue(u"text"_s, u"héllo ♫"_s);
            defaults.setValue(u"date"_s, date);
            defaults.setValue(u"data"_s, data);
            defaults.setValue(u"list"_s, QVariantList { 35, 4096 });
            defaults.setValue(u"map"_s, QVariantMap { { u"a"_s, false }, { u"b"_s, 2.25 } });
        }
        // Plain JSON a person can read; dates and data go in marked wrappers.
        const QJsonObject stored = storedFile();
        QCOMPARE(stored.value(u"bool"_s), QJsonValue(true));
        QCOMPARE(stored.value(u"date"_s),
                 QJsonObject({ { u"$date"_s, u"2026-03-04T05:06:07.089Z"_s } }));
        QCOMPARE(stored.value(u"data"_s),
                 QJsonObject({ { u"$data"_s, QString::fromLatin1(data.toBase64()) } }));

        SettingsStore reloaded(path());
        QCOMPARE(reloaded.boolValue(u"bool"_s), true);
        // A number without a fractional part reads back as an integer.
        QCOMPARE(reloaded.object(u"one"_s).typeId(), QMetaType::LongLong);
        QCOMPARE(reloaded.doubleValue(u"one"_s), 1.0);
        QCOMPARE(reloaded.integerValue(u"big"_s), qint64(9007199254740993LL));
        QCOMPARE(reloaded.doubleValue(u"half"_s), 1.5);
        QCOMPARE(reloaded.integerValue(u"half"_s), std::nullopt);
        QCOMPARE(reloaded.stringValue(u"text"_s), u"héllo ♫"_s);
        QCOMPARE(reloaded.dateValue(u"date"_s), date);
        QCOMPARE(reloaded.dataValue(u"data"_s), data);
        QCOMPARE(reloaded.arrayValue(u"list"_s), (QVariantList { qlonglong(35), qlonglong(4096) }));
        const QVariantMap map = reloaded.dictionaryValue(u"map"_s).value();
        QCOMPARE(map.value(u"a"_s).typeId(), QMetaType::Bool);
        QCOMPARE(map.value(u"b"_s).toDouble(), 2.25);
        // A date or data value is not a dictionary.
        QCOMPARE(reloaded.dictionaryValue(u"date"_s), std::nullopt);
        QCOMPARE(reloaded.dictionaryValue(u"data"_s), std::nullopt);
    }

    void wrongTypesAndUnknownValuesAreKeptAsTheyAre()
    {
        writeFile(R"({"flag": "yes", "count": 2.5, "name": 7, "when": {"$date": "not a date"},
                      "blob": {"$data": "***"}, "list": {"x": 1},
                      "future.key": {"nested": [1, null, "x"]}, "nothing": null})");
        SettingsStore defaults(path());
        QCOMPARE(defaults.boolValue(u"flag"_s), std::nullopt);
        QCOMPARE(defaults.integerValue(u"count"_s), std::nullopt);
        QCOMPARE(defaults.stringValue(u"name"_s), std::nullopt);
        QCOMPARE(defaults.dateValue(u"when"_s), std::nullopt);
        QCOMPARE(defaults.dataValue(u"blob"_s), std::nullopt);
        QCOMPARE(defaults.arrayValue(u"list"_s), std::nullopt);

        defaults.setValue(u"other"_s, 1);
        defaults.remove(u"absent"_s);
        const QJsonObject stored = storedFile();
        QCOMPARE(stored.value(u"flag"_s), QJsonValue(u"yes"_s));
        QCOMPARE(stored.value(u"when"_s), QJsonObject({ { u"$date"_s, u"not a date"_s } }));
        QCOMPARE(stored.value(u"future.key"_s),
                 QJsonObject({ { u"nested"_s, QJsonArray { 1, QJsonValue(), u"x"_s } } }));
        QVERIFY(stored.contains(u"nothing"_s));
        QVERIFY(stored.value(u"nothing"_s).isNull());
    }

    void damagedFileIsSetAsideNotOverwritten_data()
    {
        QTest::addColumn<QByteArray>("contents");
        QTest::newRow("not JSON") << QByteArray("{\"settings.alwaysOnTop\": tru");
        QTest::newRow("array") << QByteArray("[1, 2, 3]");
        QTest::newRow("binary") << QByteArray("\x00\xff\xfe garbage", 11);
    }

    void damagedFileIsSetAsideNotOverwritten()
    {
        QFETCH(QByteArray, contents);
        writeFile(contents);
        LogCapture log;
        SettingsStore defaults(path());
        QVERIFY(defaults.keys().isEmpty());
        const QStringList copies = damagedCopies();
        QCOMPARE(copies.size(), 1);
        QFile aside(QFileInfo(path()).dir().filePath(copies.first()));
        QVERIFY(aside.open(QIODevice::ReadOnly));
        QCOMPARE(aside.readAll(), contents);
        QCOMPARE(log.lines().size(), 1);
        QVERIFY(log.lines().first().startsWith(u"Vesper: settings file "_s));
        defaults.setValue(u"fresh"_s, true);
        QVERIFY(storedFile().value(u"fresh"_s).toBool());
        QCOMPARE(damagedCopies().size(), 1);
    }

    void unreadableFileIsNeverReplaced()
    {
        if (geteuid() == 0)
            QSKIP("root reads every file");
        writeFile(R"({"keep": 1})");
        QFile::setPermissions(path(), QFileDevice::WriteOwner);
        LogCapture log;
        SettingsStore defaults(path());
        defaults.setValue(u"keep"_s, 2);
        QFile::setPermissions(path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner);
        QCOMPARE(storedFile().value(u"keep"_s).toInt(), 1);
    }

    void refusesValuesTheDomainCannotHold()
    {
        SettingsStore defaults(path());
        LogCapture log;
        QVERIFY(!defaults.setValue(u"nan"_s, std::nan("")));
        QVERIFY(!defaults.setValue(u"point"_s, QPointF(1, 2)));
        QVERIFY(!defaults.setValue(u"list"_s, QVariantList { 1, QPointF(1, 2) }));
        QVERIFY(!defaults.contains(u"nan"_s));
        QVERIFY(!defaults.contains(u"list"_s));
        QCOMPARE(log.lines().size(), 3);
    }

    void changesAreSignalledAndWrittenAtOnce()
    {
        SettingsStore defaults(path());
        QSignalSpy changed(&defaults, &SettingsStore::valueChanged);
        defaults.setValue(u"a"_s, 1);
        defaults.setValue(u"a"_s, 1);
        QCOMPARE(storedFile().value(u"a"_s), QJsonValue(1));
        defaults.remove(u"a"_s);
        defaults.remove(u"a"_s);
        QCOMPARE(changed.size(), 3);
        QVERIFY(!storedFile().contains(u"a"_s));
    }
};

QTEST_GUILESS_MAIN(TestUserDefaults)
#include "test_settingsstore.moc"
