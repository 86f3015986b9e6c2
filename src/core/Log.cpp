#include "core/Log.h"

#include <cstdio>
#include <cstring>

using namespace Qt::StringLiterals;

namespace {
constexpr char kSubsystem[] = "northloft.VesperApp";
}

Q_LOGGING_CATEGORY(lcPlain, "northloft.VesperApp", QtInfoMsg)
Q_LOGGING_CATEGORY(lcApp, "northloft.VesperApp.App", QtInfoMsg)
Q_LOGGING_CATEGORY(lcSettings, "northloft.VesperApp.Settings", QtInfoMsg)
Q_LOGGING_CATEGORY(lcKeychain, "northloft.VesperApp.Keychain", QtInfoMsg)
Q_LOGGING_CATEGORY(lcSourceRouting, "northloft.VesperApp.SourceRouting", QtInfoMsg)
Q_LOGGING_CATEGORY(lcBrowserBridge, "northloft.VesperApp.BrowserBridge", QtInfoMsg)
Q_LOGGING_CATEGORY(lcOnboarding, "northloft.VesperApp.Onboarding", QtInfoMsg)
Q_LOGGING_CATEGORY(lcLastFm, "northloft.VesperApp.LastFm", QtInfoMsg)

void plainLog(const QString &line) { qCInfo(lcPlain).noquote() << line; }

QString formatLogLine(QtMsgType type, const char *category, const QString &message)
{
    const size_t subsystemLength = std::strlen(kSubsystem);
    if (category && std::strcmp(category, kSubsystem) == 0)
        return message;
    if (category && std::strncmp(category, kSubsystem, subsystemLength) == 0
        && category[subsystemLength] == '.') {
        return u'[' + QString::fromUtf8(category + subsystemLength + 1) + u"] "_s + message;
    }
    // Qt's own and other libraries' messages keep Qt's default form.
    return qFormatLogMessage(type, QMessageLogContext(nullptr, 0, nullptr, category), message);
}

static void printLogLine(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    const QByteArray line = formatLogLine(type, context.category, message).toLocal8Bit() + '\n';
    std::fwrite(line.constData(), 1, size_t(line.size()), stderr);
    std::fflush(stderr);
    if (type == QtFatalMsg)
        std::abort();
}

void installLogFormat() { qInstallMessageHandler(printLogLine); }
