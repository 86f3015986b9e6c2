// Time to read a 300-line enhanced LRC text (a line tag and a word tag per word on every line),
// the lyrics a long track brings; it is parsed on the main thread when the look-up answers.
#include "BenchStats.h"
#include "lyrics/LrcParser.h"

#include <QElapsedTimer>
#include <QString>

#include <cstdio>

using namespace Qt::StringLiterals;

namespace {
QString stamp(double seconds)
{
    const int minutes = int(seconds / 60);
    return u"%1:%2"_s.arg(minutes, 2, 10, QChar(u'0'))
        .arg(seconds - minutes * 60, 5, 'f', 2, QChar(u'0'));
}

QString enhancedLrc(int lineCount)
{
    const QStringList words { u"walking"_s, u"through"_s, u"the"_s,  u"city"_s,
                              u"lights"_s,  u"tonight"_s, u"again"_s };
    QString text = u"[ar:Some Artist]\n[ti:A Long Song]\n[al:The Album]\n[length: 20:00]\n"_s;
    double time = 1;
    for (int line = 0; line < lineCount; ++line) {
        text += u'[' + stamp(time) + u"] "_s;
        for (const QString &word : words) {
            text += u'<' + stamp(time) + u'>' + word + u' ';
            time += 0.35;
        }
        text += u'<' + stamp(time) + u">\r\n"_s;
        time += 1.2;
    }
    return text;
}
} // namespace

int main()
{
    const QString text = enhancedLrc(300);
    std::printf("input: %lld characters\n", static_cast<long long>(text.size()));

    qsizetype lineCount = 0;
    QList<double> samples;
    QElapsedTimer timer;
    for (int i = 0; i < 2000; ++i) {
        timer.start();
        const QList<LyricLine> lines = Lrc::parse(text);
        samples.append(double(timer.nsecsElapsed()) / 1000.0);
        lineCount = lines.size();
    }
    if (lineCount != 300) {
        std::fprintf(stderr, "parsed %lld lines, expected 300\n",
                     static_cast<long long>(lineCount));
        return 1;
    }
    printStats("parse of a 300-line enhanced LRC text", samples, "us");
    return 0;
}
