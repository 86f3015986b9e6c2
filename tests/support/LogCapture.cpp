#include "LogCapture.h"

#include "core/Log.h"

namespace {
QStringList g_lines;
QtMessageHandler g_previous = nullptr;

void capture(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    g_lines.append(formatLogLine(type, context.category, message));
}
} // namespace

LogCapture::LogCapture()
{
    g_lines.clear();
    g_previous = qInstallMessageHandler(capture);
}

LogCapture::~LogCapture()
{
    qInstallMessageHandler(g_previous);
}

QStringList LogCapture::lines() const
{
    return g_lines;
}

void LogCapture::clear()
{
    g_lines.clear();
}
