// A stand-in web service for scripts: answers GET <path> with the given status and body, appends
// every request line it receives to a file, and prints its origin on stdout.
//
//   fake_http_site <path> <status> <body> <request log>
#include "FakeHttpServer.h"

#include <QCoreApplication>
#include <QFile>

#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 5) {
        std::fprintf(stderr, "usage: fake_http_site <path> <status> <body> <request log>\n");
        return 2;
    }
    FakeHttpServer server;
    server.route("GET", args.at(1), [&args](const FakeHttpServer::Request &request) {
        QFile log(args.at(4));
        if (log.open(QIODevice::Append))
            log.write(request.method + ' ' + request.path.toUtf8() + '?' + request.rawQuery + '\n');
        return FakeHttpServer::Response::withStatus(args.at(2).toInt(), args.at(3).toUtf8());
    });
    std::printf("%s\n", server.url().toEncoded().constData());
    std::fflush(stdout);
    return app.exec();
}
