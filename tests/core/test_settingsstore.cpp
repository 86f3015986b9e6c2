#include "ServiceFixture.h"
#include "core/SettingsStore.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>

#include <sys/fsuid.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

class TestSettingsStore : public QObject
{
    Q_OBJECT

    std::unique_ptr<ServiceFixture> m_fixture;

    void writeFile(const QByteArray &contents) const
    {
        QFile file(m_fixture->settingsPath());
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(contents);
    }

private Q_SLOTS:
    void init() { m_fixture = std::make_unique<ServiceFixture>(); }

    void storedForms()
    {
        const QDateTime date
            = QDateTime::fromString(u"2026-03-04T05:06:07.089Z"_s, Qt::ISODateWithMs);
        const QByteArray data("\x00\x01\xfe\xff binary", 12);
        // Dates and data go in marked wrappers and come back as themselves.
        QCOMPARE(SettingsStore::toStored(date),
                 QJsonObject({ { u"$date"_s, u"2026-03-04T05:06:07.089Z"_s } }));
        QCOMPARE(SettingsStore::toStored(data),
                 QJsonObject({ { u"$data"_s, QString::fromLatin1(data.toBase64()) } }));
        QCOMPARE(SettingsStore::fromStored(*SettingsStore::toStored(date)), QVariant(date));
        QCOMPARE(SettingsStore::fromStored(*SettingsStore::toStored(data)), QVariant(data));
        // A wrapper that holds no date or data is a dictionary like any other.
        QCOMPARE(SettingsStore::fromStored(QJsonObject { { u"$date"_s, u"soon"_s } }).typeId(),
                 QMetaType::QVariantMap);
        // A number without a fractional part reads back as an integer, exactly.
        QCOMPARE(SettingsStore::fromStored(1.0).typeId(), QMetaType::LongLong);
        QCOMPARE(SettingsStore::fromStored(1.5), QVariant(1.5));
        QCOMPARE(SettingsStore::fromStored(*SettingsStore::toStored(qint64(9007199254740993LL))),
                 QVariant(qlonglong(9007199254740993LL)));
        // What JSON cannot hold is refused, also deep inside a list.
        QVERIFY(!SettingsStore::toStored(std::nan("")));
        QVERIFY(!SettingsStore::toStored(QPointF(1, 2)));
        QVERIFY(!SettingsStore::toStored(QVariantList { 1, QPointF(1, 2) }));
        QVERIFY(!SettingsStore::toStored(std::numeric_limits<quint64>::max()));
    }

    void valuesSurviveARestartAndOthersAreKept()
    {
        writeFile(R"({"flag": "yes", "count": 2.5, "future.key": {"nested": [1, null, "x"]}})");
        SettingsStore &settings = m_fixture->reopenSettings();
        QCOMPARE(settings.boolValue(u"flag"_s), std::nullopt);
        QCOMPARE(settings.integerValue(u"count"_s), std::nullopt);
        QCOMPARE(settings.doubleValue(u"count"_s), 2.5);
        QSignalSpy changed(&settings, &SettingsStore::valueChanged);
        settings.setValue(
            u"map"_s,
            QVariantMap { { u"a"_s, false }, { u"when"_s, QDateTime::currentDateTimeUtc() } });
        settings.setValue(u"gone"_s, 1);
        settings.remove(u"gone"_s);
        settings.remove(u"absent"_s);
        QCOMPARE(changed.size(), 3);

        const QJsonObject stored = m_fixture->storedSettings();
        QCOMPARE(stored.value(u"flag"_s), QJsonValue(u"yes"_s));
        QCOMPARE(stored.value(u"future.key"_s),
                 QJsonObject({ { u"nested"_s, QJsonArray { 1, QJsonValue(), u"x"_s } } }));
        QVERIFY(!stored.contains(u"gone"_s));
        const QVariantMap map = m_fixture->reopenSettings().dictionaryValue(u"map"_s).value();
        QCOMPARE(map.value(u"a"_s).typeId(), QMetaType::Bool);
        QCOMPARE(map.value(u"when"_s).typeId(), QMetaType::QDateTime);
    }

    void damagedFileIsSetAsideNotOverwritten_data()
    {
        QTest::addColumn<QByteArray>("contents");
        QTest::newRow("not JSON") << QByteArray("{\"settings.alwaysOnTop\": tru");
        QTest::newRow("not an object") << QByteArray("[1, 2, 3]");
    }

    void damagedFileIsSetAsideNotOverwritten()
    {
        QFETCH(QByteArray, contents);
        writeFile(contents);
        SettingsStore &settings = m_fixture->reopenSettings();
        QVERIFY(settings.keys().isEmpty());
        settings.setValue(u"fresh"_s, true);
        QVERIFY(m_fixture->storedSettings().value(u"fresh"_s).toBool());

        const QDir dir = QFileInfo(m_fixture->settingsPath()).dir();
        const QStringList copies = dir.entryList({ u"defaults.json.damaged-*"_s });
        QCOMPARE(copies.size(), 1);
        QVERIFY(QRegularExpression(u"^defaults\\.json\\.damaged-\\d{8}-\\d{6}-\\d{3}$"_s)
                    .match(copies.first())
                    .hasMatch());
        QFile aside(dir.filePath(copies.first()));
        QVERIFY(aside.open(QIODevice::ReadOnly));
        QCOMPARE(aside.readAll(), contents);
    }

    void unreadableFileIsNeverReplaced()
    {
        const QString path = m_fixture->settingsPath();
        writeFile(R"({"keep": 1})");
        // Root reads every file: the store runs with the file rights of another user then.
        const uid_t user = geteuid() == 0 ? 65534 : geteuid();
        QCOMPARE(::chown(QFile::encodeName(path).constData(), user, user), 0);
        QFile::setPermissions(QFileInfo(path).path(), QFileDevice::Permissions(0x7777));
        QFile::setPermissions(path, QFileDevice::WriteOwner);
        ::setfsuid(user);
        m_fixture->reopenSettings().setValue(u"keep"_s, 2);
        ::setfsuid(geteuid());
        QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
        QCOMPARE(m_fixture->storedSettings().value(u"keep"_s).toInt(), 1);
    }
};

QTEST_GUILESS_MAIN(TestSettingsStore)
#include "test_settingsstore.moc"
