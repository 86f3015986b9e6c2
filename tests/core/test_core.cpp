#include "LogCapture.h"
#include "core/Endpoints.h"
#include "core/Log.h"

#include <QTest>

using namespace Qt::StringLiterals;

class TestCore : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // The end-to-end runs wait for lines in these two forms.
    void logLinesKeepTheirTwoForms()
    {
        LogCapture log;
        plainLog(u"Vesper: browser bridge listening on 127.0.0.1:51234"_s);
        qCInfo(lcSourceRouting, "state applied; source=%s", "com.spotify.client");
        qCDebug(lcSourceRouting) << "debug lines are off by default";
        QCOMPARE(log.lines(),
                 (QStringList { u"Vesper: browser bridge listening on 127.0.0.1:51234"_s,
                                u"[SourceRouting] state applied; source=com.spotify.client"_s }));
        // Only Vesper's own categories are shortened.
        QVERIFY(!formatLogLine(QtInfoMsg, "northloft.VesperAppX.Thing", u"m"_s)
                     .startsWith(u"[Thing]"_s));
    }

    // An override may only name an origin; anything else falls back to the real service.
    void endpointOverrides()
    {
        const QList<QPair<QByteArray, QString>> rows {
            { {}, u"https://lrclib.net"_s },
            { "http://127.0.0.1:8123", u"http://127.0.0.1:8123"_s },
            { "http://localhost:9/", u"http://localhost:9"_s },
            { "http://127.0.0.1:8123/api", u"https://lrclib.net"_s },
            { "http://127.0.0.1:8123?x=1", u"https://lrclib.net"_s },
            { "file:///etc/passwd", u"https://lrclib.net"_s },
            { "::::", u"https://lrclib.net"_s },
        };
        for (const auto &[value, expected] : rows) {
            if (value.isNull())
                qunsetenv("VESPER_LRCLIB_URL");
            else
                qputenv("VESPER_LRCLIB_URL", value);
            QCOMPARE(Endpoints::lrclib(), QUrl(expected));
        }
        qunsetenv("VESPER_LRCLIB_URL");
    }
};

QTEST_GUILESS_MAIN(TestCore)
#include "test_core.moc"
