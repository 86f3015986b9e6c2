#include "LogCapture.h"
#include "core/Endpoints.h"
#include "core/Log.h"

#include <QTest>

using namespace Qt::StringLiterals;

class TestCore : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void logLinesKeepTheirTwoForms()
    {
        LogCapture log;
        plainLog(u"Vesper: browser bridge listening on 127.0.0.1:51234"_s);
        qCInfo(lcSourceRouting, "state applied; source=%s playing=%s", "com.spotify.client",
               "true");
        qCDebug(lcSourceRouting) << "debug lines are off by default";
        QCOMPARE(log.lines(),
                 (QStringList {
                     u"Vesper: browser bridge listening on 127.0.0.1:51234"_s,
                     u"[SourceRouting] state applied; source=com.spotify.client playing=true"_s }));
        // Only Vesper's own categories are shortened; a look-alike prefix is not ours.
        QCOMPARE(
            formatLogLine(QtInfoMsg, "northloft.VesperAppX.Thing", u"m"_s).startsWith(u"[Thing]"_s),
            false);
    }

    void endpointOverrides_data()
    {
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<bool>("logged");
        QTest::newRow("unset") << QString() << u"https://lrclib.net"_s << false;
        QTest::newRow("origin") << u"http://127.0.0.1:8123"_s << u"http://127.0.0.1:8123"_s
                                << false;
        QTest::newRow("trailing slash")
            << u"http://localhost:9/"_s << u"http://localhost:9"_s << false;
        QTest::newRow("with a path")
            << u"http://127.0.0.1:8123/api"_s << u"https://lrclib.net"_s << true;
        QTest::newRow("with a query")
            << u"http://127.0.0.1:8123?x=1"_s << u"https://lrclib.net"_s << true;
        QTest::newRow("other scheme") << u"file:///etc/passwd"_s << u"https://lrclib.net"_s << true;
        QTest::newRow("not a URL") << u"::::"_s << u"https://lrclib.net"_s << true;
    }
    void endpointOverrides()
    {
        QFETCH(QString, value);
        QFETCH(QString, expected);
        QFETCH(bool, logged);
        if (value.isNull())
            qunsetenv("VESPER_LRCLIB_URL");
        else
            qputenv("VESPER_LRCLIB_URL", value.toUtf8());
        LogCapture log;
        QCOMPARE(Endpoints::lrclib(), QUrl(expected));
        QCOMPARE(!log.lines().isEmpty(), logged);
        qunsetenv("VESPER_LRCLIB_URL");
    }
};

QTEST_GUILESS_MAIN(TestCore)
#include "test_core.moc"
