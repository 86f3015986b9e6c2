#pragma once

#include <QList>
#include <QObject>
#include <QPair>

#include <csignal>

class QSocketNotifier;

// Delivers Unix signals (SIGTERM at logout, SIGINT, SIGHUP and SIGQUIT from a terminal) into the
// event loop, so that they end Vesper through the same path as its Quit command. One watcher per
// process; destroying it puts the previous handlers back.
class UnixSignalWatcher : public QObject
{
    Q_OBJECT
public:
    explicit UnixSignalWatcher(QObject *parent = nullptr);
    ~UnixSignalWatcher() override;

    // Catches signalNumber from now on. False when it cannot be caught: another watcher
    // exists, or the system refused; its previous action then still applies.
    bool watch(int signalNumber);

Q_SIGNALS:
    void received(int signalNumber);

private:
    void readSignals();

    QSocketNotifier *m_notifier = nullptr;
    int m_fds[2] = { -1, -1 };
    QList<QPair<int, struct sigaction>> m_previousActions;
};
