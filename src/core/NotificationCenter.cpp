#include "core/NotificationCenter.h"

NotificationCenter &NotificationCenter::defaultCenter()
{
    static NotificationCenter center;
    return center;
}

void NotificationCenter::addObserver(const QString &name, const QObject *context,
                                     std::function<void()> callback)
{
    m_observers.append({ name, context, std::move(callback) });
}

void NotificationCenter::removeObservers(const QObject *context)
{
    m_observers.removeIf([context](const Observer &o) { return o.context == context; });
}

void NotificationCenter::post(const QString &name)
{
    // Copy first: an observer may add or remove observers while it runs.
    const QList<Observer> observers = m_observers;
    for (const Observer &observer : observers) {
        if (observer.name == name && observer.context)
            observer.callback();
    }
    m_observers.removeIf([](const Observer &o) { return o.context.isNull(); });
}
