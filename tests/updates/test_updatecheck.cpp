#include "FakeClock.h"
#include "FakeHttpServer.h"
#include "LogCapture.h"

#include "core/SettingsKeys.h"
#include "core/SettingsStore.h"
#include "updates/UpdateCheckService.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;
using Status = UpdateCheckService::Status;
using Kind = UpdateCheckService::Status::Kind;
using Response = FakeHttpServer::Response;

Q_DECLARE_METATYPE(FakeHttpServer::Response)

namespace {
const QString kManifestPath = u"/api/version.json"_s;
const QUrl kFallback(u"https://vesper.example/#download"_s);

QByteArray manifest(const QString &version, const QString &downloadURL = {})
{
    QJsonObject object { { u"version"_s, version } };
    if (!downloadURL.isEmpty())
        object.insert(u"downloadURL"_s, downloadURL);
    return QJsonDocument(object).toJson();
}
} // namespace

class TestUpdateCheck : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<SettingsStore> m_defaults;
    std::unique_ptr<FakeHttpServer> m_server;
    std::unique_ptr<QNetworkAccessManager> m_network;
    FakeClock m_clock;
    bool m_autoCheck = true;

    // Runs as version 1.4.0 of a build whose site is the fake server, or that names none.
    std::unique_ptr<UpdateCheckService> makeService(bool withSite = true)
    {
        return std::make_unique<UpdateCheckService>(*m_network, *m_defaults, m_clock,
                                                    withSite ? m_server->url() : QUrl(), u"1.4.0"_s,
                                                    [this] { return m_autoCheck; });
    }

    void serveManifest(const QByteArray &body, std::chrono::milliseconds delay = 0ms)
    {
        Response response = Response::ok(body);
        response.delay = delay;
        m_server->route("GET", kManifestPath, response);
    }

    void runCheck(UpdateCheckService &service)
    {
        service.check();
        QTRY_VERIFY_WITH_TIMEOUT(service.status().kind != Kind::Checking, 10000);
    }

private Q_SLOTS:
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        m_defaults = std::make_unique<SettingsStore>(m_dir->filePath(u"defaults.json"_s));
        m_server = std::make_unique<FakeHttpServer>();
        m_network = std::make_unique<QNetworkAccessManager>();
        m_network->setProxy(QNetworkProxy::NoProxy);
        m_autoCheck = true;
    }

    void isNewer()
    {
        // 1 newer, 0 not newer, -1 malformed
        const auto newer = [](const QString &remote, const QString &local) {
            const std::optional<bool> answer = UpdateCheckService::isNewer(remote, local);
            return answer ? int(*answer) : -1;
        };
        QCOMPARE(newer(u"1.10"_s, u"1.9"_s), 1); // numeric, not textual
        QCOMPARE(newer(u"1.9"_s, u"1.10"_s), 0);
        QCOMPARE(newer(u"2.0"_s, u"2.0.0"_s), 0);
        QCOMPARE(newer(u"2.0.1"_s, u"2.0"_s), 1);
        QCOMPARE(newer(u" v1.2.0\n"_s, u"\t1.1 "_s), 1);
        QCOMPARE(newer(u"V2.0"_s, u"2.0.0"_s), 0);
        QCOMPARE(newer(u"01.02"_s, u"1.1"_s), 1);
        QCOMPARE(newer(u"1.99999999999999999999999"_s, u"1.99999999999999999999998"_s), 1);
        QCOMPARE(newer(u"2.0"_s, u"dev"_s), -1);
        for (const QString &bad :
             { u"2.1-beta"_s, QString(), u"v"_s, u"1..2"_s, u"1.2."_s, u"latest"_s, u"1.2 3"_s,
               u"\uFF12.0"_s, u"+2.0"_s, QString(100, u'9') }) {
            QVERIFY2(newer(bad, u"1.0"_s) == -1, qPrintable(bad));
        }
    }

    void evaluate()
    {
        const auto evaluate = [](int status, const QByteArray &body) {
            return UpdateCheckService::evaluate(status, body, u"1.4.0"_s, kFallback);
        };
        const QUrl page(u"https://vesper.example/get/2.0"_s);
        QCOMPARE(evaluate(200, manifest(u"2.0"_s, page.toString())),
                 Status::updateAvailable(u"2.0"_s, page));
        QCOMPARE(evaluate(200, manifest(u"1.4"_s)), Status::upToDate());
        QCOMPARE(evaluate(304, manifest(u"9.0"_s)), Status::failed());
        for (const QByteArray &body :
             { QByteArray("<html>maintenance</html>"), QByteArray("[\"2.0\"]"),
               QByteArray("{\"downloadURL\": \"https://x.example\"}"),
               QByteArray("{\"version\": 2.0}"), manifest(u"2.1-beta"_s) }) {
            QVERIFY2(evaluate(200, body) == Status::failed(), body.constData());
        }
        // The page is opened in the browser; only a web address may come from the manifest.
        for (const QString &bad :
             { u"javascript:alert(1)"_s, u"/relative/page"_s, u"https://"_s }) {
            QVERIFY2(evaluate(200, manifest(u"2.0"_s, bad))
                         == Status::updateAvailable(u"2.0"_s, kFallback),
                     qPrintable(bad));
        }
        QCOMPARE(evaluate(200, R"({"version": "2.0", "downloadURL": 42})"),
                 Status::updateAvailable(u"2.0"_s, kFallback));
    }

    void checkAsksTheSiteAndStoresTheDateFirst()
    {
        serveManifest(manifest(u"1.5.0"_s), 200ms);
        const auto service = makeService();
        QSignalSpy changed(service.get(), &UpdateCheckService::statusChanged);

        service->check();
        service->check(); // one check at a time
        QCOMPARE(service->status(), Status::checking());
        // The date is written before the answer comes, so a failed check counts too.
        QCOMPARE(m_defaults->dateValue(SettingsKeys::updateLastCheckDate), m_clock.now());
        QTRY_VERIFY(service->status().kind != Kind::Checking);

        // Without a page of its own the site's download section is offered.
        QCOMPARE(service->status(),
                 Status::updateAvailable(u"1.5.0"_s,
                                         QUrl(m_server->url().toString() + u"/#download"_s)));
        QCOMPARE(changed.size(), 2);
        const QList<FakeHttpServer::Request> requests = m_server->requests();
        QCOMPARE(requests.size(), 1);
        QCOMPARE(requests.first().path, kManifestPath);
        QCOMPARE(requests.first().rawQuery,
                 "t=" + QByteArray::number(m_clock.now().toSecsSinceEpoch()));
        QVERIFY(requests.first().header("user-agent").startsWith("Vesper/"));

        // A later check goes through "checking" again and lands on the same outcome.
        m_clock.advance(10);
        serveManifest(manifest(u"1.4"_s));
        runCheck(*service);
        QCOMPARE(service->status(), Status::upToDate());
        QCOMPARE(changed.size(), 4);
        QCOMPARE(m_server->requests().last().rawQuery,
                 "t=" + QByteArray::number(m_clock.now().toSecsSinceEpoch()));
    }

    void failuresEndInFailedWithOneLine_data()
    {
        QTest::addColumn<Response>("response");
        QTest::addColumn<bool>("clientHangsUp"); // the body is refused while it comes
        QTest::newRow("404 page") << Response::withStatus(404, "<html>not here</html>") << false;
        Response cut = Response::ok(manifest(u"9.0"_s));
        cut.hangUpAfter = 5;
        QTest::newRow("cut off") << cut << false;
        Response huge;
        huge.fillerSize = 64 * UpdateCheckService::maxManifestBytes;
        QTest::newRow("huge") << huge << true;
        Response endless;
        endless.fillerSize = -1;
        QTest::newRow("endless") << endless << true;
    }

    void failuresEndInFailedWithOneLine()
    {
        QFETCH(Response, response);
        QFETCH(bool, clientHangsUp);
        m_server->route("GET", kManifestPath, response);
        const auto service = makeService();
        LogCapture log;
        runCheck(*service);
        QCOMPARE(service->status(), Status::failed());
        QCOMPARE(log.count(u"Vesper: update check failed (network or malformed manifest)"_s), 1);
        if (clientHangsUp)
            QTRY_COMPARE(m_server->abortedByClient(), 1);
    }

    void automaticCheck_data()
    {
        QTest::addColumn<bool>("allowed");
        QTest::addColumn<QVariant>("stored"); // the value under updateLastCheckDate
        QTest::addColumn<bool>("asks");

        const QDateTime now = FakeClock().now();
        QTest::newRow("never checked") << true << QVariant() << true;
        QTest::newRow("23 hours ago") << true << QVariant(now.addSecs(-23 * 3600)) << false;
        QTest::newRow("25 hours ago") << true << QVariant(now.addSecs(-25 * 3600)) << true;
        QTest::newRow("a minute ahead") << true << QVariant(now.addSecs(60)) << false;
        QTest::newRow("two days ahead") << true << QVariant(now.addDays(2)) << true;
        QTest::newRow("not a date") << true << QVariant(u"yesterday"_s) << true;
        QTest::newRow("setting off") << false << QVariant() << false;
    }

    void automaticCheck()
    {
        QFETCH(bool, allowed);
        QFETCH(QVariant, stored);
        QFETCH(bool, asks);
        m_autoCheck = allowed;
        if (stored.isValid())
            QVERIFY(m_defaults->setValue(SettingsKeys::updateLastCheckDate, stored));
        serveManifest(manifest(u"1.0"_s));
        const auto service = makeService();

        service->checkAutomatically();
        if (asks) {
            QCOMPARE(service->status(), Status::checking());
            QTRY_COMPARE(service->status(), Status::upToDate());
            QCOMPARE(m_defaults->dateValue(SettingsKeys::updateLastCheckDate), m_clock.now());
            // Once per run, even when the stored date is forgotten.
            m_defaults->remove(SettingsKeys::updateLastCheckDate);
            service->checkAutomatically();
        }
        QTest::qWait(50);
        if (!asks) {
            QCOMPARE(service->status(), Status::idle());
            QCOMPARE(m_defaults->object(SettingsKeys::updateLastCheckDate), stored);
        }
        QCOMPARE(m_server->requests().size(), asks ? 1 : 0);
    }

    void aBuildWithoutSiteNeverAsks()
    {
        const auto service = makeService(false);
        service->checkAutomatically();
        service->check();
        QTest::qWait(50);
        QCOMPARE(service->status(), Status::idle());
        QVERIFY(!m_defaults->contains(SettingsKeys::updateLastCheckDate));
        QCOMPARE(m_server->requests().size(), 0);
    }
};

QTEST_GUILESS_MAIN(TestUpdateCheck)
#include "test_updatecheck.moc"
