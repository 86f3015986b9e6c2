// A stand-in web service for scripts: answers GET <path> with the given status and body, appends
// every request line it receives to a file, and prints its origin on stdout.
//
//   fake_http_site <path> <status> <body> <request log>

#include "FakeHttpServer.h"

#include <QCoreApplication>
#include <QFile>

#include <cstdio>

using namespace Qt::StringLiterals;

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 5) {
        std::fprintf(stderr, "usage: fake_http_site <path> <status> <body> <request log>\n");
        return 2;
    }
    const QString path = args.at(1);
    const int status = args.at(2).toInt();
    const QByteArray body = args.at(3).toUtf8();
    const QString logPath = args.at(4);

    FakeHttpServer server;
    server.route("GET", path,
                 [status, body, logPath](const FakeHttpServer::Request &request) {
                     QFile log(logPath);
                     if (log.open(QIODevice::Append)) {
                         log.write(request.method + ' ' + request.path.toUtf8() + '?'
                                   + request.rawQuery + '\n');
                     }
                     return FakeHttpServer::Response::withStatus(status, body);
                 });
    std::printf("%s\n", server.url().toEncoded().constData());
    std::fflush(stdout);
    return app.exec();
}
