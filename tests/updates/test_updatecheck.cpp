#include "FakeClock.h"
#include "FakeHttpServer.h"
#include "LogCapture.h"
#include "ServiceFixture.h"

#include "core/SettingsKeys.h"
#include "core/SettingsStore.h"
#include "updates/UpdateCheckService.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

using namespace Qt::StringLiterals;
using Status = UpdateCheckService::Status;
using Response = FakeHttpServer::Response;

Q_DECLARE_METATYPE(FakeHttpServer::Response)

namespace {
const QString kManifestPath = u"/api/version.json"_s;
const QUrl kFallback(u"https://vesper.example/#download"_s);

QByteArray manifest(const QString &version, const QJsonValue &downloadURL = {})
{
    QJsonObject object { { u"version"_s, version } };
    if (!downloadURL.isUndefined())
        object.insert(u"downloadURL"_s, downloadURL);
    return QJsonDocument(object).toJson();
}
} // namespace

class TestUpdateCheck : public QObject
{
    Q_OBJECT

    std::unique_ptr<ServiceFixture> m_fixture;
    std::unique_ptr<FakeHttpServer> m_server;
    FakeClock m_clock;
    bool m_autoCheck = true;

    // Version 1.4.0 of a build whose site is the fake server, or that names none.
    std::unique_ptr<UpdateCheckService> makeService(bool withSite = true)
    {
        return std::make_unique<UpdateCheckService>(m_fixture->network(), m_fixture->settings(),
                                                    m_clock, withSite ? m_server->url() : QUrl(),
                                                    u"1.4.0"_s, [this] { return m_autoCheck; });
    }

private Q_SLOTS:
    void init()
    {
        m_fixture = std::make_unique<ServiceFixture>();
        m_server = std::make_unique<FakeHttpServer>();
        m_autoCheck = true;
    }
    void cleanup()
    {
        QVERIFY(m_fixture->networkDrained());
        m_fixture.reset();
    }

    void versionsAndManifests()
    {
        // Numbers compare as numbers, however long; "v" and blanks around them are allowed.
        const QList<std::tuple<QString, QString, std::optional<bool>>> rows {
            { u"1.10"_s, u"1.9"_s, true },
            { u"1.9"_s, u"1.10"_s, false },
            { u"2.0"_s, u"2.0.0"_s, false },
            { u"2.0.1"_s, u"2.0"_s, true },
            { u" v1.2.0\n"_s, u"\tV1.1 "_s, true },
            { u"01.02"_s, u"1.1"_s, true },
            { u"1.99999999999999999999999"_s, u"1.99999999999999999999998"_s, true },
            { u"2.0"_s, u"dev"_s, std::nullopt },
        };
        for (const auto &[remote, local, newer] : rows)
            QCOMPARE(UpdateCheckService::isNewer(remote, local), newer);
        for (const QString &bad : { u"2.1-beta"_s, QString(), u"v"_s, u"1..2"_s, u"1.2."_s,
                                    u"1.2 3"_s, u"\uFF12.0"_s, u"+2.0"_s, QString(100, u'9') })
            QVERIFY2(!UpdateCheckService::isNewer(bad, u"1.0"_s), qPrintable(bad));

        const auto evaluate = [](int status, const QByteArray &body) {
            return UpdateCheckService::evaluate(status, body, u"1.4.0"_s, kFallback);
        };
        const QString page = u"http://vesper.example/get/2.0"_s;
        QCOMPARE(evaluate(200, manifest(u"2.0"_s, page)),
                 Status::updateAvailable(u"2.0"_s, QUrl(page)));
        QCOMPARE(evaluate(200, manifest(u"1.4"_s)), Status::upToDate());
        QCOMPARE(evaluate(304, manifest(u"9.0"_s)), Status::failed());
        for (const QByteArray &body :
             { QByteArray("<html>maintenance</html>"), QByteArray("[\"2.0\"]"),
               QByteArray("{\"version\": 2.0}"), manifest(u"2.1-beta"_s) })
            QVERIFY2(evaluate(200, body) == Status::failed(), body.constData());
        // The page opens in the browser: only an absolute web address may come from the manifest.
        for (const QJsonValue &bad :
             { QJsonValue(u"javascript:alert(1)"_s), QJsonValue(u"ftp://vesper.example/v"_s),
               QJsonValue(u"/relative/page"_s), QJsonValue(u"https://"_s), QJsonValue(42) })
            QCOMPARE(evaluate(200, manifest(u"2.0"_s, bad)),
                     Status::updateAvailable(u"2.0"_s, kFallback));

        // A build without a site never asks.
        const auto service = makeService(false);
        service->checkAutomatically();
        service->check();
        QCOMPARE(service->status(), Status::idle());
    }

    void failuresEndInFailedWithOneLine_data()
    {
        QTest::addColumn<Response>("response");
        QTest::newRow("404 page") << Response::withStatus(404, "<html>not here</html>");
        Response endless;
        endless.fillerSize = -1;
        QTest::newRow("endless") << endless;
    }

    void failuresEndInFailedWithOneLine()
    {
        QFETCH(Response, response);
        m_server->route("GET", kManifestPath, response);
        const auto service = makeService();
        LogCapture log;
        service->check();
        QTRY_COMPARE(service->status(), Status::failed());
        // The line the end-to-end run waits for.
        QCOMPARE(log.count(u"Vesper: update check failed (network or malformed manifest)"_s), 1);
        // A body too large is refused while it comes.
        if (response.fillerSize)
            QTRY_COMPARE(m_server->abortedByClient(), 1);
    }

    void automaticCheckOnceADay_data()
    {
        QTest::addColumn<bool>("allowed");
        QTest::addColumn<QVariant>("stored"); // under updateLastCheckDate
        QTest::addColumn<bool>("asks");
        const QDateTime now = FakeClock().now();
        QTest::newRow("never checked") << true << QVariant() << true;
        QTest::newRow("23 hours ago") << true << QVariant(now.addSecs(-23 * 3600)) << false;
        QTest::newRow("25 hours ago") << true << QVariant(now.addSecs(-25 * 3600)) << true;
        QTest::newRow("a minute ahead") << true << QVariant(now.addSecs(60)) << false;
        // A date far ahead (a clock that was wrong) must not block checks for good.
        QTest::newRow("two days ahead") << true << QVariant(now.addDays(2)) << true;
        QTest::newRow("not a date") << true << QVariant(u"yesterday"_s) << true;
        QTest::newRow("setting off") << false << QVariant() << false;
    }

    void automaticCheckOnceADay()
    {
        QFETCH(bool, allowed);
        QFETCH(QVariant, stored);
        QFETCH(bool, asks);
        m_autoCheck = allowed;
        SettingsStore &settings = m_fixture->settings();
        if (stored.isValid())
            QVERIFY(settings.setValue(SettingsKeys::updateLastCheckDate, stored));
        m_server->route("GET", kManifestPath, Response::ok(manifest(u"1.5.0"_s)));
        const auto service = makeService();
        service->checkAutomatically();
        QCOMPARE(service->status(), asks ? Status::checking() : Status::idle());
        if (!asks) {
            QCOMPARE(settings.object(SettingsKeys::updateLastCheckDate), stored);
            return;
        }
        // Written before the answer comes, so that a failed check counts too; one at a time.
        QCOMPARE(settings.dateValue(SettingsKeys::updateLastCheckDate), m_clock.now());
        service->check();
        // Without a page of its own the site's download section is offered.
        const Status offered = Status::updateAvailable(
            u"1.5.0"_s, QUrl(m_server->url().toString() + u"/#download"_s));
        QTRY_COMPARE(service->status(), offered);
        // Once per run, even when the stored date is gone.
        settings.remove(SettingsKeys::updateLastCheckDate);
        service->checkAutomatically();
        QCOMPARE(service->status(), offered);
        QCOMPARE(m_server->requests().size(), 1);
        QCOMPARE(m_server->requests().first().rawQuery,
                 "t=" + QByteArray::number(m_clock.now().toSecsSinceEpoch()));
    }
};

QTEST_GUILESS_MAIN(TestUpdateCheck)
#include "test_updatecheck.moc"
