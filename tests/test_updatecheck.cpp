#include "FakeClock.h"
#include "FakeHttpServer.h"
#include "LogCapture.h"

#include "core/DefaultsKeys.h"
#include "core/UserDefaults.h"
#include "services/UpdateCheckService.h"

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
const QUrl kSite(u"https://vesper.example"_s);
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
    std::unique_ptr<UserDefaults> m_defaults;
    std::unique_ptr<FakeHttpServer> m_server;
    std::unique_ptr<QNetworkAccessManager> m_network;
    FakeClock m_clock;
    bool m_autoCheck = true;

    std::unique_ptr<UpdateCheckService> makeService(const QUrl &site,
                                                    const QString &version = u"1.4.0"_s)
    {
        return std::make_unique<UpdateCheckService>(*m_network, *m_defaults, m_clock, site, version,
                                                    [this] { return m_autoCheck; });
    }

    std::unique_ptr<UpdateCheckService> makeService() { return makeService(m_server->url()); }

    void serveManifest(const QByteArray &body, int status = 200,
                       std::chrono::milliseconds delay = 0ms)
    {
        Response response = Response::withStatus(status, body);
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
        m_defaults = std::make_unique<UserDefaults>(m_dir->filePath(u"defaults.json"_s));
        m_server = std::make_unique<FakeHttpServer>();
        m_network = std::make_unique<QNetworkAccessManager>();
        m_network->setProxy(QNetworkProxy::NoProxy);
        m_autoCheck = true;
    }

    void cleanup()
    {
        m_network.reset();
        m_server.reset();
        m_defaults.reset();
        m_dir.reset();
    }

    void isNewer_data()
    {
        QTest::addColumn<QString>("remote");
        QTest::addColumn<QString>("local");
        QTest::addColumn<int>("expected"); // 1 newer, 0 not newer, -1 malformed

        QTest::newRow("numeric, not textual") << u"1.10"_s << u"1.9"_s << 1;
        QTest::newRow("numeric, the other way") << u"1.9"_s << u"1.10"_s << 0;
        QTest::newRow("three pieces") << u"1.10.0"_s << u"1.9.2"_s << 1;
        QTest::newRow("trailing zeros are equal") << u"2.0"_s << u"2.0.0"_s << 0;
        QTest::newRow("one piece against two") << u"2"_s << u"2.0"_s << 0;
        QTest::newRow("a patch release") << u"2.0.1"_s << u"2.0"_s << 1;
        QTest::newRow("leading v and blanks") << u" v1.2.0\n"_s << u"\t1.1 "_s << 1;
        QTest::newRow("capital V, same version") << u"V2.0"_s << u"2.0.0"_s << 0;
        QTest::newRow("leading zeros") << u"01.02"_s << u"1.1"_s << 1;
        QTest::newRow("no build version") << u"0.0.1"_s << u"0"_s << 1;
        QTest::newRow("zero against no build version") << u"0.0"_s << u"0"_s << 0;
        QTest::newRow("beyond 64 bits")
            << u"1.99999999999999999999999"_s << u"1.99999999999999999999998"_s << 1;
        QTest::newRow("pre-release suffix") << u"2.1-beta"_s << u"2.0"_s << -1;
        QTest::newRow("empty") << QString() << u"1.0"_s << -1;
        QTest::newRow("only a v") << u"v"_s << u"1.0"_s << -1;
        QTest::newRow("two dots") << u"1..2"_s << u"1.0"_s << -1;
        QTest::newRow("trailing dot") << u"1.2."_s << u"1.0"_s << -1;
        QTest::newRow("words") << u"latest"_s << u"1.0"_s << -1;
        QTest::newRow("blank inside") << u"1.2 3"_s << u"1.0"_s << -1;
        QTest::newRow("non-ASCII digits") << u"\uFF12.0"_s << u"1.0"_s << -1;
        QTest::newRow("sign") << u"+2.0"_s << u"1.0"_s << -1;
        QTest::newRow("absurdly long") << QString(100, u'9') << u"1.0"_s << -1;
        QTest::newRow("malformed running version") << u"2.0"_s << u"dev"_s << -1;
    }

    void isNewer()
    {
        QFETCH(QString, remote);
        QFETCH(QString, local);
        QFETCH(int, expected);
        const std::optional<bool> newer = UpdateCheckService::isNewer(remote, local);
        QCOMPARE(newer ? int(*newer) : -1, expected);
    }

    void evaluate_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<Status>("expected");

        const QUrl page(u"https://vesper.example/get/2.0"_s);
        QTest::newRow("newer with a page") << 200 << manifest(u"2.0"_s, page.toString())
                                           << Status::updateAvailable(u"2.0"_s, page);
        QTest::newRow("newer without a page")
            << 200 << manifest(u"1.10"_s) << Status::updateAvailable(u"1.10"_s, kFallback);
        QTest::newRow("same version") << 200 << manifest(u"1.4"_s) << Status::upToDate();
        QTest::newRow("older version") << 200 << manifest(u"1.3.9"_s) << Status::upToDate();
        QTest::newRow("304") << 304 << manifest(u"9.0"_s) << Status::failed();
        QTest::newRow("500") << 500 << manifest(u"9.0"_s) << Status::failed();
        QTest::newRow("not JSON") << 200 << QByteArray("<html>maintenance</html>")
                                  << Status::failed();
        QTest::newRow("an array") << 200 << QByteArray("[\"2.0\"]") << Status::failed();
        QTest::newRow("no version")
            << 200 << QByteArray("{\"downloadURL\": \"https://x.example\"}") << Status::failed();
        QTest::newRow("a numeric version")
            << 200 << QByteArray("{\"version\": 2.0}") << Status::failed();
        QTest::newRow("a malformed version") << 200 << manifest(u"2.1-beta"_s) << Status::failed();
        QTest::newRow("empty body") << 200 << QByteArray() << Status::failed();
        // The page is opened in the browser; only a web address may come from the manifest.
        for (const QString &bad :
             { u"javascript:alert(1)"_s, u"file:///etc/passwd"_s, u"vesper://callback?code=x"_s,
               u"/relative/page"_s, u"https://"_s, u"not a url"_s }) {
            QTest::addRow("page %s refused", qPrintable(bad))
                << 200 << manifest(u"2.0"_s, bad) << Status::updateAvailable(u"2.0"_s, kFallback);
        }
        QTest::newRow("a page that is not text")
            << 200 << QByteArray("{\"version\": \"2.0\", \"downloadURL\": 42}")
            << Status::updateAvailable(u"2.0"_s, kFallback);
    }

    void evaluate()
    {
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(Status, expected);
        const Status actual = UpdateCheckService::evaluate(status, body, u"1.4.0"_s, kFallback);
        QCOMPARE(int(actual.kind), int(expected.kind));
        QCOMPARE(actual.version, expected.version);
        QCOMPARE(actual.downloadURL, expected.downloadURL);
    }

    void addresses()
    {
        const auto service = makeService(QUrl(u"https://vesper.example:8443"_s));
        QCOMPARE(service->manifestURL(),
                 QUrl(u"https://vesper.example:8443/api/version.json?t="_s
                      + QString::number(m_clock.now().toSecsSinceEpoch())));
        QCOMPARE(service->fallbackDownload(), QUrl(u"https://vesper.example:8443/#download"_s));
        QVERIFY(makeService(QUrl())->manifestURL().isEmpty());
    }

    void checkAsksTheSiteAndStoresTheDateFirst()
    {
        serveManifest(manifest(u"1.5.0"_s, u"https://vesper.example/download"_s), 200, 200ms);
        const auto service = makeService();
        QSignalSpy changed(service.get(), &UpdateCheckService::statusChanged);

        service->check();
        QCOMPARE(service->status(), Status::checking());
        // The date is written before the answer comes, so a failed check counts too.
        QCOMPARE(m_defaults->dateValue(DefaultsKeys::updateLastCheckDate), m_clock.now());
        QTRY_VERIFY(service->status().kind != Kind::Checking);

        QCOMPARE(service->status(),
                 Status::updateAvailable(u"1.5.0"_s, QUrl(u"https://vesper.example/download"_s)));
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
        QTest::newRow("500") << Response::withStatus(500, manifest(u"9.0"_s)) << false;
        QTest::newRow("404 page") << Response::withStatus(404, "<html>not here</html>") << false;
        QTest::newRow("not JSON") << Response::ok("version=2.0") << false;
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

    void unreachableSiteFails()
    {
        QUrl gone = m_server->url();
        m_server.reset(); // nothing listens on that port any more
        const auto service = makeService(gone);
        LogCapture log;
        runCheck(*service);
        QCOMPARE(service->status(), Status::failed());
        QCOMPARE(log.count(UpdateCheckService::failureLine), 1);
        QVERIFY(m_defaults->dateValue(DefaultsKeys::updateLastCheckDate));
    }

    void oneCheckAtATime()
    {
        serveManifest(manifest(u"1.0"_s), 200, 300ms);
        const auto service = makeService();
        service->check();
        service->check();
        QTRY_VERIFY(service->status().kind != Kind::Checking);
        QCOMPARE(m_server->requests().size(), 1);
        QCOMPARE(service->status(), Status::upToDate());
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
            QVERIFY(m_defaults->setValue(DefaultsKeys::updateLastCheckDate, stored));
        serveManifest(manifest(u"1.0"_s));
        const auto service = makeService();

        service->checkAutomatically();
        if (asks) {
            QCOMPARE(service->status(), Status::checking());
            QTRY_COMPARE(service->status(), Status::upToDate());
            QCOMPARE(m_defaults->dateValue(DefaultsKeys::updateLastCheckDate), m_clock.now());
        } else {
            QTest::qWait(50);
            QCOMPARE(service->status(), Status::idle());
            QCOMPARE(m_defaults->object(DefaultsKeys::updateLastCheckDate), stored);
        }
        QCOMPARE(m_server->requests().size(), asks ? 1 : 0);
    }

    void automaticCheckOncePerRun()
    {
        serveManifest(manifest(u"1.0"_s));
        const auto service = makeService();
        service->checkAutomatically();
        QTRY_COMPARE(service->status(), Status::upToDate());
        // Even when the stored date is forgotten, a second call in the same run does nothing.
        m_defaults->remove(DefaultsKeys::updateLastCheckDate);
        service->checkAutomatically();
        QTest::qWait(50);
        QCOMPARE(m_server->requests().size(), 1);
    }

    void aBuildWithoutSiteNeverAsks()
    {
        const auto service = makeService(QUrl());
        service->checkAutomatically();
        service->check();
        QTest::qWait(50);
        QCOMPARE(service->status(), Status::idle());
        QVERIFY(!m_defaults->contains(DefaultsKeys::updateLastCheckDate));
        QCOMPARE(m_server->requests().size(), 0);
    }
};

QTEST_GUILESS_MAIN(TestUpdateCheck)
#include "test_updatecheck.moc"
