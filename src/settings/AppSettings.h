#pragma once

#include "models/Hotkey.h"
#include "models/Source.h"

#include <QColor>
#include <QMap>
#include <QObject>

#include <functional>
#include <memory>
#include <optional>

class DesktopAppearance;
class LoginItem;
class SettingsStore;

enum class AppColorScheme { System, Light, Dark };
enum class GlassStyleOption { Regular, Clear };

namespace AppColorSchemes {
QList<AppColorScheme> all();
QString rawValue(AppColorScheme scheme);
std::optional<AppColorScheme> fromRawValue(const QString &rawValue);
QString label(AppColorScheme scheme);
} // namespace AppColorSchemes

namespace GlassStyleOptions {
QList<GlassStyleOption> all();
QString rawValue(GlassStyleOption style);
std::optional<GlassStyleOption> fromRawValue(const QString &rawValue);
} // namespace GlassStyleOptions

// The one store of user preferences. Persisted properties are read from the defaults domain at
// creation and written back on every assignment, also of an unchanged value; the glass look
// lives in memory only and starts from its defaults at every launch.
class AppSettings : public QObject
{
    Q_OBJECT
    Q_PROPERTY(
        AppColorScheme colorScheme READ colorScheme WRITE setColorScheme NOTIFY colorSchemeChanged)
    Q_PROPERTY(bool liquidGlassEnabled READ liquidGlassEnabled WRITE setLiquidGlassEnabled NOTIFY
                   liquidGlassEnabledChanged)
    Q_PROPERTY(GlassStyleOption glassStyle READ glassStyle WRITE setGlassStyle NOTIFY glassChanged)
    Q_PROPERTY(bool glassExperimentalVariantEnabled READ glassExperimentalVariantEnabled WRITE
                   setGlassExperimentalVariantEnabled NOTIFY glassChanged)
    Q_PROPERTY(int glassExperimentalVariant READ glassExperimentalVariant WRITE
                   setGlassExperimentalVariant NOTIFY glassChanged)
    Q_PROPERTY(
        bool glassTintEnabled READ glassTintEnabled WRITE setGlassTintEnabled NOTIFY glassChanged)
    Q_PROPERTY(double glassTintRed READ glassTintRed WRITE setGlassTintRed NOTIFY glassChanged)
    Q_PROPERTY(
        double glassTintGreen READ glassTintGreen WRITE setGlassTintGreen NOTIFY glassChanged)
    Q_PROPERTY(double glassTintBlue READ glassTintBlue WRITE setGlassTintBlue NOTIFY glassChanged)
    Q_PROPERTY(
        double glassTintOpacity READ glassTintOpacity WRITE setGlassTintOpacity NOTIFY glassChanged)
    Q_PROPERTY(double glassBackgroundRed READ glassBackgroundRed WRITE setGlassBackgroundRed NOTIFY
                   glassChanged)
    Q_PROPERTY(double glassBackgroundGreen READ glassBackgroundGreen WRITE setGlassBackgroundGreen
                   NOTIFY glassChanged)
    Q_PROPERTY(double glassBackgroundBlue READ glassBackgroundBlue WRITE setGlassBackgroundBlue
                   NOTIFY glassChanged)
    Q_PROPERTY(
        double glassVeilOpacity READ glassVeilOpacity WRITE setGlassVeilOpacity NOTIFY glassChanged)
    Q_PROPERTY(double glassBackgroundBlur READ glassBackgroundBlur WRITE setGlassBackgroundBlur
                   NOTIFY glassChanged)
    Q_PROPERTY(double glassCornerRadius READ glassCornerRadius WRITE setGlassCornerRadius NOTIFY
                   glassChanged)
    Q_PROPERTY(double glassPanelOpacity READ glassPanelOpacity WRITE setGlassPanelOpacity NOTIFY
                   glassChanged)
    Q_PROPERTY(bool glassShadowEnabled READ glassShadowEnabled WRITE setGlassShadowEnabled NOTIFY
                   glassChanged)
    Q_PROPERTY(QColor glassTintColor READ glassTintColor NOTIFY glassChanged)
    Q_PROPERTY(QColor glassBackgroundColor READ glassBackgroundColor NOTIFY glassChanged)
    Q_PROPERTY(bool alwaysOnTop READ alwaysOnTop WRITE setAlwaysOnTop NOTIFY alwaysOnTopChanged)
    Q_PROPERTY(
        bool launchAtLogin READ launchAtLogin WRITE setLaunchAtLogin NOTIFY launchAtLoginChanged)
    Q_PROPERTY(bool scrobbleNowPlaying READ scrobbleNowPlaying WRITE setScrobbleNowPlaying NOTIFY
                   scrobbleNowPlayingChanged)
    Q_PROPERTY(bool scrobbleHistory READ scrobbleHistory WRITE setScrobbleHistory NOTIFY
                   scrobbleHistoryChanged)
    Q_PROPERTY(bool autoCheckUpdates READ autoCheckUpdates WRITE setAutoCheckUpdates NOTIFY
                   autoCheckUpdatesChanged)

public:
    using HotkeyTable = QMap<QString, QList<qint64>>;
    using ScrobbleSources = QMap<QString, bool>;

    AppSettings(SettingsStore &defaults, std::unique_ptr<LoginItem> loginItem,
                DesktopAppearance &desktopAppearance, QObject *parent = nullptr);
    ~AppSettings() override;

    AppColorScheme colorScheme() const { return m_colorScheme; }
    void setColorScheme(AppColorScheme scheme);
    bool liquidGlassEnabled() const { return m_liquidGlassEnabled; }
    void setLiquidGlassEnabled(bool enabled);

    GlassStyleOption glassStyle() const { return m_glassStyle; }
    void setGlassStyle(GlassStyleOption style);
    bool glassExperimentalVariantEnabled() const { return m_glassExperimentalVariantEnabled; }
    void setGlassExperimentalVariantEnabled(bool enabled);
    int glassExperimentalVariant() const { return m_glassExperimentalVariant; }
    void setGlassExperimentalVariant(int variant);
    bool glassTintEnabled() const { return m_glassTintEnabled; }
    void setGlassTintEnabled(bool enabled);
    double glassTintRed() const { return m_glassTintRed; }
    void setGlassTintRed(double value);
    double glassTintGreen() const { return m_glassTintGreen; }
    void setGlassTintGreen(double value);
    double glassTintBlue() const { return m_glassTintBlue; }
    void setGlassTintBlue(double value);
    double glassTintOpacity() const { return m_glassTintOpacity; }
    void setGlassTintOpacity(double value);
    double glassBackgroundRed() const { return m_glassBackgroundRed; }
    void setGlassBackgroundRed(double value);
    double glassBackgroundGreen() const { return m_glassBackgroundGreen; }
    void setGlassBackgroundGreen(double value);
    double glassBackgroundBlue() const { return m_glassBackgroundBlue; }
    void setGlassBackgroundBlue(double value);
    double glassVeilOpacity() const { return m_glassVeilOpacity; }
    void setGlassVeilOpacity(double value);
    double glassBackgroundBlur() const { return m_glassBackgroundBlur; }
    void setGlassBackgroundBlur(double value);
    double glassCornerRadius() const { return m_glassCornerRadius; }
    void setGlassCornerRadius(double value);
    double glassPanelOpacity() const { return m_glassPanelOpacity; }
    void setGlassPanelOpacity(double value);
    bool glassShadowEnabled() const { return m_glassShadowEnabled; }
    void setGlassShadowEnabled(bool enabled);
    QColor glassTintColor() const;
    QColor glassBackgroundColor() const;

    bool alwaysOnTop() const { return m_alwaysOnTop; }
    void setAlwaysOnTop(bool onTop);
    bool launchAtLogin() const { return m_launchAtLogin; }
    void setLaunchAtLogin(bool launch);
    bool scrobbleNowPlaying() const { return m_scrobbleNowPlaying; }
    void setScrobbleNowPlaying(bool enabled);
    bool scrobbleHistory() const { return m_scrobbleHistory; }
    void setScrobbleHistory(bool enabled);
    bool autoCheckUpdates() const { return m_autoCheckUpdates; }
    void setAutoCheckUpdates(bool enabled);

    // Sets the application's palette from the colour scheme; "system" follows the desktop.
    void applyAppearance();

    std::optional<Hotkey> hotkey(HotkeyAction action) const;
    // Stores a binding, or its removal when given none; hotkeyTableChanged() follows.
    void setHotkey(const std::optional<Hotkey> &hotkey, HotkeyAction action);
    HotkeyTable hotkeyTable() const { return m_hotkeyTable; }
    void setHotkeyTable(const HotkeyTable &table);

    bool isScrobbleEnabled(const Source &source) const;
    void setScrobbleSource(const Source &source, bool enabled);
    ScrobbleSources scrobbleSources() const { return m_scrobbleSources; }
    void setScrobbleSources(const ScrobbleSources &sources);

    // Whether the colour scheme, as it applies now, is dark.
    bool isEffectivelyDark() const;

Q_SIGNALS:
    void colorSchemeChanged();
    void liquidGlassEnabledChanged();
    void glassChanged();
    // Any setting that changes how the panel is drawn: liquid glass or a glass setting.
    void panelStyleChanged();
    void alwaysOnTopChanged();
    void launchAtLoginChanged();
    void scrobbleNowPlayingChanged();
    void scrobbleHistoryChanged();
    void autoCheckUpdatesChanged();
    void hotkeyTableChanged();
    void scrobbleSourcesChanged();

private:
    void loadScrobbleSources();
    void migrateLegacyScrobbleSource(const QString &legacyKey, const Source &source);
    void loadHotkeyTable();
    void resetGlassBackground();
    template<typename T> void assignGlass(T &member, T value);
    void writeScrobbleSources();
    void writeHotkeyTable();

    SettingsStore &m_defaults;
    std::unique_ptr<LoginItem> m_loginItem;
    DesktopAppearance &m_desktopAppearance;

    AppColorScheme m_colorScheme = AppColorScheme::System;
    bool m_liquidGlassEnabled = false;
    GlassStyleOption m_glassStyle = GlassStyleOption::Regular;
    bool m_glassExperimentalVariantEnabled = true;
    int m_glassExperimentalVariant = 11;
    bool m_glassTintEnabled = false;
    double m_glassTintRed = 1.0;
    double m_glassTintGreen = 1.0;
    double m_glassTintBlue = 1.0;
    double m_glassTintOpacity = 0.15;
    double m_glassBackgroundRed = 1.0;
    double m_glassBackgroundGreen = 1.0;
    double m_glassBackgroundBlue = 1.0;
    double m_glassVeilOpacity = 0.45;
    double m_glassBackgroundBlur = 0.15;
    double m_glassCornerRadius = 15.0;
    double m_glassPanelOpacity = 1.0;
    bool m_glassShadowEnabled = true;
    bool m_alwaysOnTop = true;
    bool m_launchAtLogin = false;
    bool m_scrobbleNowPlaying = true;
    bool m_scrobbleHistory = true;
    bool m_autoCheckUpdates = true;
    ScrobbleSources m_scrobbleSources;
    HotkeyTable m_hotkeyTable;
};
