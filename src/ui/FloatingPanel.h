#pragma once

#include <QPropertyAnimation>
#include <QWidget>

class AppSettings;
class MiniPlayerView;
class PanelWindowSystem;

// The floating panel that holds the mini player: frameless, never taking the focus, rounded and
// translucent, moved by its background, above other windows while "Always on Top" is on and on
// every workspace. It starts at the top right of the primary screen, 20 pixels in, and grows to
// the left and down, its top-right corner kept, when the lyrics open.
class FloatingPanel : public QWidget
{
    Q_OBJECT
public:
    FloatingPanel(MiniPlayerView *view, PanelWindowSystem &windowSystem, AppSettings &settings,
                  QWidget *parent = nullptr);

    // Where every launch puts it.
    void moveToStartPlace();
    void togglePanel();
    // Shows it without taking the focus from the active window.
    void showPanel();

Q_SIGNALS:
    void shownChanged(bool shown);

protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private:
    void applyAlwaysOnTop();
    void resizeForLyrics(bool show);
    void keepOnAScreen();

    MiniPlayerView *m_view;
    PanelWindowSystem &m_windowSystem;
    AppSettings &m_settings;
    QPropertyAnimation m_resize;
    bool m_painted = false;
};
