#pragma once

#include <QList>
#include <QObject>
#include <QUrl>

#include <functional>

// Runs the launch sequence once, routes "vesper:" URLs and ends the process. Windows and views
// reach the application shell through shared().
class AppDelegate : public QObject
{
    Q_OBJECT
public:
    using CallbackHandler = std::function<void(const QUrl &)>;

    explicit AppDelegate(QObject *parent = nullptr);
    ~AppDelegate() override;

    // The delegate of this process; set by the first step of the launch sequence.
    static AppDelegate *shared();

    void applicationDidFinishLaunching();

    // Hands every "vesper:" URL, in order, to the authorization callback; others are ignored.
    void openURLs(const QList<QUrl> &urls);

    // Where "vesper:" URLs go: the Spotify authorization, once it exists.
    void setCallbackHandler(CallbackHandler handler);

    void quit();

    static bool isCallbackURL(const QUrl &url);

private:
    CallbackHandler m_callbackHandler;
};
