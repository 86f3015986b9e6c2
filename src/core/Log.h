#pragma once

#include <QLoggingCategory>
#include <QString>

// Two forms of log line. Plain lines are whole sentences that begin with "Vesper: " and are
// printed exactly as written. Structured lines go to a category per area and print as
// "[<Category>] <message>"; their debug level is off unless QT_LOGGING_RULES enables it.
Q_DECLARE_LOGGING_CATEGORY(lcPlain)
Q_DECLARE_LOGGING_CATEGORY(lcApp)
Q_DECLARE_LOGGING_CATEGORY(lcSettings)
Q_DECLARE_LOGGING_CATEGORY(lcKeychain)
Q_DECLARE_LOGGING_CATEGORY(lcSourceRouting)
Q_DECLARE_LOGGING_CATEGORY(lcBrowserBridge)
Q_DECLARE_LOGGING_CATEGORY(lcOnboarding)
Q_DECLARE_LOGGING_CATEGORY(lcLastFm)

// Writes one plain line; the caller gives the whole line, "Vesper: " included.
void plainLog(const QString &line);

// Formats a message for the terminal by the rules above.
QString formatLogLine(QtMsgType type, const char *category, const QString &message);

// Installs the message handler that prints formatLogLine() on stderr.
void installLogFormat();
