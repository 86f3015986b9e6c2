// Writes to a defaults file as fast as it can until it is killed; used by the crash test.
// Each step stores "step" = n, then "mirror" = {step: n, blob: data derived from n}.
#include "core/SettingsStore.h"

#include <QCoreApplication>

#include <cstdio>

using namespace Qt::StringLiterals;

QByteArray blobFor(qint64 step)
{
    // About 100 KB, the size of a full scrobble queue, so writes take real time.
    return QByteArray::number(step).repeated(100 * 1024 / 8).left(100 * 1024);
}

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    if (argc != 2)
        return 2;
    SettingsStore defaults(QString::fromLocal8Bit(argv[1]));
    qint64 step = defaults.integerValue(u"step"_s).value_or(0);
    bool announced = false;
    for (;;) {
        ++step;
        defaults.setValue(u"step"_s, step);
        defaults.setValue(u"mirror"_s,
                          QVariantMap { { u"step"_s, step }, { u"blob"_s, blobFor(step) } });
        if (!announced) {
            std::puts("writing");
            std::fflush(stdout);
            announced = true;
        }
    }
}
