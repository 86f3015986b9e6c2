#include "FakeHttpServer.h"
#include "ServiceFixture.h"
#include "core/Endpoints.h"
#include "core/HttpFetch.h"
#include "core/SettingsStore.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QRandomGenerator>
#include <QTest>

#include <qcoro/qcorotask.h>

#include <csignal>
#include <cstdio>
#include <sys/fsuid.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {
// About 100 KB, a full scrobble queue, so that a write takes real time.
QByteArray blobFor(qint64 step)
{
    return QByteArray::number(step).repeated(100 * 1024 / 8).left(100 * 1024);
}

// The writer stores "step" = n, then "mirror" = {step: n, blob}, until it is killed.
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

class TestCore : public QObject
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
        // What JSON cannot hold is refused, also deep inside a list.
        QVERIFY(!SettingsStore::toStored(std::nan("")));
        QVERIFY(!SettingsStore::toStored(QVariantList { 1, QPointF(1, 2) }));
    }

    void valuesSurviveARestartAndOthersAreKept()
    {
        writeFile(R"({"flag": "yes", "count": 2.5, "future.key": {"nested": [1, null, "x"]}})");
        SettingsStore &settings = m_fixture->reopenSettings();
        QCOMPARE(settings.boolValue(u"flag"_s), std::nullopt);
        settings.setValue(
            u"map"_s,
            QVariantMap { { u"a"_s, false }, { u"when"_s, QDateTime::currentDateTimeUtc() } });
        settings.setValue(u"gone"_s, 1);
        settings.remove(u"gone"_s);

        const QJsonObject stored = m_fixture->storedSettings();
        QCOMPARE(stored.value(u"flag"_s), QJsonValue(u"yes"_s));
        QCOMPARE(stored.value(u"future.key"_s),
                 QJsonObject({ { u"nested"_s, QJsonArray { 1, QJsonValue(), u"x"_s } } }));
        QVERIFY(!stored.contains(u"gone"_s));
        const QVariantMap map = m_fixture->reopenSettings().dictionaryValue(u"map"_s).value();
        QCOMPARE(map.value(u"a"_s).typeId(), QMetaType::Bool);
        QCOMPARE(map.value(u"when"_s).typeId(), QMetaType::QDateTime);
    }

    // Private to the user, tightened when an older file is rewritten, written through a link.
    void fileIsTheUsersAlone()
    {
        const QString folder = QFileInfo(m_fixture->settingsPath()).path() + u"/vesper"_s;
        QVERIFY(QDir().mkpath(folder)
                && QFile::setPermissions(folder, QFileDevice::Permissions(0x7755)));
        writeFile("{}");
        QVERIFY(QFile::setPermissions(m_fixture->settingsPath(), QFileDevice::Permissions(0x6644)));
        QVERIFY(QFile::link(m_fixture->settingsPath(), folder + u"/linked.json"_s));
        SettingsStore(folder + u"/linked.json"_s).setValue(u"k"_s, 1);
        SettingsStore(folder + u"/new.json"_s).setValue(u"k"_s, 1);
        QCOMPARE(m_fixture->storedSettings().value(u"k"_s), QJsonValue(1));
        QCOMPARE(QFile::permissions(folder), QFileDevice::Permissions(0x7700));
        for (const QString &file :
             QStringList { m_fixture->settingsPath(), folder + u"/new.json"_s })
            QCOMPARE(QFile::permissions(file), QFileDevice::Permissions(0x6600));
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
        QFile aside(dir.filePath(copies.first()));
        QVERIFY(aside.open(QIODevice::ReadOnly) && aside.readAll() == contents);
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

    // Kills a writer at random moments: the file left behind always parses, and holds the old or
    // the new value of every key.
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

    // An override may only name an origin; anything else falls back to the real service.
    // The cap holds for what the server sends, however it is encoded: an answer inflating to
    // past Qt's own safety limit once came through cut short, as a complete 200.
    void compressedAnswersAreCappedAsSent()
    {
        FakeHttpServer server;
        auto bomb
            = FakeHttpServer::Response::ok(qCompress(QByteArray(16 * 1024 * 1024, ' ')).mid(4));
        bomb.headers.append({ QByteArray("Content-Encoding"), QByteArray("deflate") });
        server.route("GET", u"/bomb"_s, bomb);
        const Http::Outcome outcome = QCoro::waitFor(
            Http::send(m_fixture->network(), QNetworkRequest(server.url(u"/bomb"_s)), "GET", {},
                       4096, std::chrono::seconds(10)));
        QCOMPARE(outcome.result, Http::Outcome::Result::TooLarge);
    }

    void endpointOverrides()
    {
        qputenv("VESPER_LRCLIB_URL", "http://localhost:9/");
        QCOMPARE(Endpoints::lrclib(), QUrl(u"http://localhost:9"_s));
        qputenv("VESPER_LRCLIB_URL", "http://127.0.0.1:8123/api");
        QCOMPARE(Endpoints::lrclib(), QUrl(u"https://lrclib.net"_s));
        qunsetenv("VESPER_LRCLIB_URL");
    }
};

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    if (argc == 3 && qstrcmp(argv[1], "--writer") == 0)
        return runWriter(QString::fromLocal8Bit(argv[2]));
    TestCore test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_core.moc"
