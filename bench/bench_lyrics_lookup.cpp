// Time of a whole lyrics look-up against a local LRCLIB fake, from fetch() until the published
// state settles: once found by the first request, and once through all three requests with
// nothing found. The network is loopback, so this is Vesper's own cost plus Qt's HTTP stack.
#include "BenchStats.h"
#include "FakeLrclib.h"
#include "lyrics/LyricsService.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QNetworkProxy>

#include <cstdio>

using namespace Qt::StringLiterals;

namespace {
constexpr int kLookups = 200;

QString lrc()
{
    QString text;
    for (int i = 0; i < 60; ++i)
        text += u"[%1:%2.00] a line of the song, number %3\n"_s.arg(i / 20, 2, 10, QChar(u'0'))
                    .arg(i * 3 % 60, 2, 10, QChar(u'0'))
                    .arg(i);
    return text;
}

// One look-up per distinct track; returns false when one did not end as expected.
bool measure(LyricsService &service, const QString &prefix, bool expectFound,
             QList<double> &samples)
{
    QElapsedTimer timer;
    for (int i = 0; i < kLookups; ++i) {
        QEventLoop loop;
        QObject::connect(&service, &LyricsService::isLoadingChanged, &loop, [&loop, &service] {
            if (!service.isLoading())
                loop.quit();
        });
        timer.start();
        service.fetch(prefix + QString::number(i) + u" (Live)"_s, u"Artist"_s, 200);
        loop.exec();
        samples.append(double(timer.nsecsElapsed()) / 1e6);
        if (service.lines().isEmpty() == expectFound)
            return false;
    }
    return true;
}
} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    FakeLrclib lrclib;
    qputenv("VESPER_LRCLIB_URL", lrclib.url().toEncoded());
    const QString lyrics = lrc();
    for (int i = 0; i < kLookups; ++i) {
        FakeLrclib::Record record;
        record.trackName = u"Song "_s + QString::number(i) + u" (Live)"_s;
        record.artistName = u"Artist"_s;
        record.duration = 200;
        record.syncedLyrics = lyrics;
        lrclib.add(record);
    }

    QNetworkAccessManager network;
    network.setProxy(QNetworkProxy::NoProxy);
    LyricsService service(network);

    QList<double> found;
    QList<double> missing;
    if (!measure(service, u"Song "_s, true, found)
        || !measure(service, u"Absent "_s, false, missing)) {
        std::fprintf(stderr, "a look-up ended unexpectedly\n");
        return 1;
    }
    printStats("look-up found by the first request", found, "ms");
    printStats("look-up through all three requests, nothing found", missing, "ms");
    return 0;
}
