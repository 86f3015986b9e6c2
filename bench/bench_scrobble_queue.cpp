// The offline scrobble queue at its cap of 500 entries: the time to load it from the settings,
// to append one scrobble (read, trim to 500, store) and to persist it whole. The queue is not
// held in memory, so every tick that queues or flushes pays these costs.
#include "BenchStats.h"
#include "core/SettingsStore.h"
#include "scrobbling/ScrobbleQueue.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QTemporaryDir>

#include <cstdio>
#include <functional>

using namespace Qt::StringLiterals;

namespace {
constexpr int kRounds = 300;

QueuedScrobble scrobble(qint64 i)
{
    return { u"An Artist With A Fairly Long Name %1"_s.arg(i % 37),
             u"A Track Title That Goes On For A While (Remastered %1)"_s.arg(i),
             u"Some Album — Deluxe Edition"_s, 245, 1764000000 + i * 240 };
}

QList<double> measure(const std::function<void(int)> &work)
{
    QList<double> samples;
    QElapsedTimer timer;
    for (int round = 0; round < kRounds; ++round) {
        timer.start();
        work(round);
        samples.append(double(timer.nsecsElapsed()) / 1000.0);
    }
    return samples;
}
} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    QTemporaryDir dir;
    SettingsStore defaults(dir.filePath(u"defaults.json"_s));
    ScrobbleQueue queue(defaults);
    QList<QueuedScrobble> full;
    for (qint64 i = 0; i < ScrobbleQueue::kMaxEntries; ++i)
        full.append(scrobble(i));
    queue.store(full);
    std::printf("queue: %lld entries, %lld bytes of JSON; settings file %lld bytes\n",
                static_cast<long long>(queue.entries().size()),
                static_cast<long long>(ScrobbleQueue::encode(full).size()),
                static_cast<long long>(QFileInfo(defaults.filePath()).size()));

    qsizetype checksum = 0;
    printStats("load", measure([&](int) { checksum += queue.entries().size(); }), "us");
    printStats("append at the cap", measure([&](int round) {
                   checksum += queue.append(scrobble(1000 + round)).value_or(0);
               }),
               "us");
    printStats("persist whole", measure([&](int) { checksum += queue.store(full); }), "us");
    if (checksum == 0 || queue.entries().size() != ScrobbleQueue::kMaxEntries)
        return 1;
    return 0;
}
