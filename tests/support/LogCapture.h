#pragma once

#include "core/Log.h"

#include <QStringList>

// Collects every log line, formatted as Vesper prints it, while the object lives.
class LogCapture
{
public:
    LogCapture()
    {
        s_lines.clear();
        s_previous = qInstallMessageHandler(capture);
    }
    ~LogCapture() { qInstallMessageHandler(s_previous); }
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    QStringList lines() const { return s_lines; }
    bool contains(const QString &line) const { return s_lines.contains(line); }
    int count(const QString &line) const { return int(s_lines.count(line)); }
    void clear() { s_lines.clear(); }

private:
    static void capture(QtMsgType type, const QMessageLogContext &context, const QString &message)
    {
        s_lines.append(formatLogLine(type, context.category, message));
    }
    static inline QStringList s_lines;
    static inline QtMessageHandler s_previous = nullptr;
};
