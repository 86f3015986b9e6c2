#pragma once

#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>

// In-process notifications by name: no sender filter, no payload, delivered synchronously in
// the order the observers were added. An observer lives as long as its context object.
class NotificationCenter : public QObject
{
    Q_OBJECT
public:
    static NotificationCenter &defaultCenter();

    void addObserver(const QString &name, const QObject *context, std::function<void()> callback);
    void removeObservers(const QObject *context);
    void post(const QString &name);

private:
    struct Observer
    {
        QString name;
        QPointer<const QObject> context;
        std::function<void()> callback;
    };
    QList<Observer> m_observers;
};
