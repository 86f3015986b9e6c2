#include "settings/AppSettings.h"

#include "core/Log.h"
#include "core/SettingsKeys.h"
#include "core/SettingsStore.h"
#include "platform/DesktopAppearance.h"
#include "platform/LoginItem.h"
#include "settings/AppearancePalette.h"

#include <QCoreApplication>
#include <QGuiApplication>

using namespace Qt::StringLiterals;

namespace {

// Glass keys of earlier versions: the look always starts from its defaults now.
const QStringList kObsoleteGlassKeys = {
    u"settings.glass.style"_s,
    u"settings.glass.experimentalVariantEnabled"_s,
    u"settings.glass.experimentalVariant"_s,
    u"settings.glass.tintEnabled"_s,
    u"settings.glass.tintRed"_s,
    u"settings.glass.tintGreen"_s,
    u"settings.glass.tintBlue"_s,
    u"settings.glass.tintOpacity"_s,
    u"settings.glass.backgroundRed"_s,
    u"settings.glass.backgroundGreen"_s,
    u"settings.glass.backgroundBlue"_s,
    u"settings.glass.veilOpacity"_s,
    u"settings.glass.backgroundBlur"_s,
    u"settings.glass.cornerRadius"_s,
    u"settings.glass.panelOpacity"_s,
    u"settings.glass.shadowEnabled"_s,
};

struct GlassBackground
{
    double component;
    double opacity;
};

GlassBackground defaultGlassBackground(bool dark)
{
    return dark ? GlassBackground { 0.0, 0.75 } : GlassBackground { 1.0, 0.45 };
}

bool isIntegerList(const QVariant &value)
{
    if (value.typeId() != QMetaType::QVariantList)
        return false;
    const QVariantList list = value.toList();
    return std::all_of(list.cbegin(), list.cend(),
                       [](const QVariant &v) { return v.typeId() == QMetaType::LongLong; });
}

bool fitsUnsigned32(qint64 value)
{
    return value >= 0 && value <= qint64(std::numeric_limits<quint32>::max());
}

} // namespace

namespace AppColorSchemes {
QList<AppColorScheme> all()
{
    return { AppColorScheme::System, AppColorScheme::Light, AppColorScheme::Dark };
}

QString rawValue(AppColorScheme scheme)
{
    switch (scheme) {
    case AppColorScheme::Light:
        return u"light"_s;
    case AppColorScheme::Dark:
        return u"dark"_s;
    case AppColorScheme::System:
        break;
    }
    return u"system"_s;
}

std::optional<AppColorScheme> fromRawValue(const QString &rawValue)
{
    for (AppColorScheme scheme : all()) {
        if (AppColorSchemes::rawValue(scheme) == rawValue)
            return scheme;
    }
    return std::nullopt;
}

QString label(AppColorScheme scheme)
{
    switch (scheme) {
    case AppColorScheme::Light:
        return QCoreApplication::translate("AppColorScheme", "Light");
    case AppColorScheme::Dark:
        return QCoreApplication::translate("AppColorScheme", "Dark");
    case AppColorScheme::System:
        break;
    }
    return QCoreApplication::translate("AppColorScheme", "System");
}
} // namespace AppColorSchemes

namespace GlassStyleOptions {
QList<GlassStyleOption> all() { return { GlassStyleOption::Regular, GlassStyleOption::Clear }; }

QString rawValue(GlassStyleOption style)
{
    return style == GlassStyleOption::Clear ? u"clear"_s : u"regular"_s;
}

std::optional<GlassStyleOption> fromRawValue(const QString &rawValue)
{
    for (GlassStyleOption style : all()) {
        if (GlassStyleOptions::rawValue(style) == rawValue)
            return style;
    }
    return std::nullopt;
}
} // namespace GlassStyleOptions

AppSettings::AppSettings(SettingsStore &defaults, std::unique_ptr<LoginItem> loginItem,
                         DesktopAppearance &desktopAppearance, QObject *parent)
    : QObject(parent), m_defaults(defaults), m_loginItem(std::move(loginItem)),
      m_desktopAppearance(desktopAppearance)
{
    m_colorScheme = AppColorSchemes::fromRawValue(
                        m_defaults.stringValue(SettingsKeys::colorScheme).value_or(QString()))
                        .value_or(AppColorScheme::System);
    const GlassBackground background = defaultGlassBackground(isEffectivelyDark());
    // Liquid glass has no Linux material to show, so it starts off.
    m_liquidGlassEnabled = m_defaults.boolValue(SettingsKeys::liquidGlassEnabled).value_or(false);
    m_glassBackgroundRed = m_glassBackgroundGreen = m_glassBackgroundBlue = background.component;
    m_glassVeilOpacity = background.opacity;
    m_alwaysOnTop = m_defaults.boolValue(SettingsKeys::alwaysOnTop).value_or(true);
    m_scrobbleNowPlaying = m_defaults.boolValue(SettingsKeys::scrobbleNowPlaying).value_or(true);
    m_scrobbleHistory = m_defaults.boolValue(SettingsKeys::scrobbleHistory).value_or(true);
    loadScrobbleSources();
    m_defaults.remove(SettingsKeys::obsoleteWebSources);
    loadHotkeyTable();
    m_autoCheckUpdates = m_defaults.boolValue(SettingsKeys::autoCheckUpdates).value_or(true);
    m_launchAtLogin = m_loginItem->isEnabled();
    for (const QString &key : kObsoleteGlassKeys)
        m_defaults.remove(key);

    connect(&m_desktopAppearance, &DesktopAppearance::preferenceChanged, this, [this] {
        if (m_colorScheme == AppColorScheme::System)
            applyAppearance();
    });
}

AppSettings::~AppSettings() = default;

void AppSettings::loadScrobbleSources()
{
    const QVariantMap stored
        = m_defaults.dictionaryValue(SettingsKeys::scrobbleSources).value_or(QVariantMap());
    const bool allBooleans = std::all_of(stored.cbegin(), stored.cend(), [](const QVariant &v) {
        return v.typeId() == QMetaType::Bool;
    });
    if (allBooleans) {
        for (auto it = stored.cbegin(); it != stored.cend(); ++it)
            m_scrobbleSources.insert(it.key(), it.value().toBool());
    }

    migrateLegacyScrobbleSource(SettingsKeys::legacyScrobbleSourceSpotify, Source::Spotify);
    migrateLegacyScrobbleSource(SettingsKeys::legacyScrobbleSourceAppleMusic, Source::AppleMusic);
    migrateLegacyScrobbleSource(SettingsKeys::legacyScrobbleSourceYouTubeMusic,
                                Source::YoutubeMusic);
}

void AppSettings::migrateLegacyScrobbleSource(const QString &legacyKey, const Source &source)
{
    const std::optional<bool> legacy = m_defaults.boolValue(legacyKey);
    if (!legacy)
        return;
    // A choice already in the map is newer than the legacy one.
    if (!m_scrobbleSources.contains(source.rawValue()))
        m_scrobbleSources.insert(source.rawValue(), *legacy);
    // The map must be on disk before the legacy key goes, or a crash in between loses the choice.
    writeScrobbleSources();
    m_defaults.remove(legacyKey);
}

void AppSettings::loadHotkeyTable()
{
    const QVariantMap stored
        = m_defaults.dictionaryValue(SettingsKeys::hotkeys).value_or(QVariantMap());
    if (!std::all_of(stored.cbegin(), stored.cend(), isIntegerList))
        return;
    for (auto it = stored.cbegin(); it != stored.cend(); ++it) {
        QList<qint64> entry;
        for (const QVariant &number : it.value().toList())
            entry.append(number.toLongLong());
        m_hotkeyTable.insert(it.key(), entry);
    }
}

bool AppSettings::isEffectivelyDark() const
{
    switch (m_colorScheme) {
    case AppColorScheme::Light:
        return false;
    case AppColorScheme::Dark:
        return true;
    case AppColorScheme::System:
        break;
    }
    return m_desktopAppearance.prefersDark();
}

void AppSettings::applyAppearance()
{
    if (qobject_cast<QGuiApplication *>(QCoreApplication::instance()))
        QGuiApplication::setPalette(appearancePalette(isEffectivelyDark()));
}

void AppSettings::setColorScheme(AppColorScheme scheme)
{
    m_colorScheme = scheme;
    m_defaults.setValue(SettingsKeys::colorScheme, AppColorSchemes::rawValue(scheme));
    Q_EMIT colorSchemeChanged();
    applyAppearance();
    resetGlassBackground();
}

void AppSettings::resetGlassBackground()
{
    const GlassBackground background = defaultGlassBackground(isEffectivelyDark());
    setGlassBackgroundRed(background.component);
    setGlassBackgroundGreen(background.component);
    setGlassBackgroundBlue(background.component);
    setGlassVeilOpacity(background.opacity);
}

void AppSettings::setLiquidGlassEnabled(bool enabled)
{
    m_liquidGlassEnabled = enabled;
    m_defaults.setValue(SettingsKeys::liquidGlassEnabled, enabled);
    Q_EMIT liquidGlassEnabledChanged();
    Q_EMIT panelStyleChanged();
}

template<typename T> void AppSettings::assignGlass(T &member, T value)
{
    member = value;
    Q_EMIT glassChanged();
    Q_EMIT panelStyleChanged();
}

void AppSettings::setGlassStyle(GlassStyleOption style) { assignGlass(m_glassStyle, style); }
void AppSettings::setGlassExperimentalVariantEnabled(bool enabled)
{
    assignGlass(m_glassExperimentalVariantEnabled, enabled);
}
void AppSettings::setGlassExperimentalVariant(int variant)
{
    assignGlass(m_glassExperimentalVariant, variant);
}
void AppSettings::setGlassTintEnabled(bool enabled) { assignGlass(m_glassTintEnabled, enabled); }
void AppSettings::setGlassTintRed(double value) { assignGlass(m_glassTintRed, value); }
void AppSettings::setGlassTintGreen(double value) { assignGlass(m_glassTintGreen, value); }
void AppSettings::setGlassTintBlue(double value) { assignGlass(m_glassTintBlue, value); }
void AppSettings::setGlassTintOpacity(double value) { assignGlass(m_glassTintOpacity, value); }
void AppSettings::setGlassBackgroundRed(double value) { assignGlass(m_glassBackgroundRed, value); }
void AppSettings::setGlassBackgroundGreen(double value)
{
    assignGlass(m_glassBackgroundGreen, value);
}
void AppSettings::setGlassBackgroundBlue(double value)
{
    assignGlass(m_glassBackgroundBlue, value);
}
void AppSettings::setGlassVeilOpacity(double value) { assignGlass(m_glassVeilOpacity, value); }
void AppSettings::setGlassBackgroundBlur(double value)
{
    assignGlass(m_glassBackgroundBlur, value);
}
void AppSettings::setGlassCornerRadius(double value) { assignGlass(m_glassCornerRadius, value); }
void AppSettings::setGlassPanelOpacity(double value) { assignGlass(m_glassPanelOpacity, value); }
void AppSettings::setGlassShadowEnabled(bool enabled)
{
    assignGlass(m_glassShadowEnabled, enabled);
}

QColor AppSettings::glassTintColor() const
{
    return QColor::fromRgbF(float(m_glassTintRed), float(m_glassTintGreen), float(m_glassTintBlue),
                            float(m_glassTintOpacity));
}

QColor AppSettings::glassBackgroundColor() const
{
    return QColor::fromRgbF(float(m_glassBackgroundRed), float(m_glassBackgroundGreen),
                            float(m_glassBackgroundBlue), float(m_glassVeilOpacity));
}

void AppSettings::setAlwaysOnTop(bool onTop)
{
    m_alwaysOnTop = onTop;
    m_defaults.setValue(SettingsKeys::alwaysOnTop, onTop);
    Q_EMIT alwaysOnTopChanged();
}

void AppSettings::setLaunchAtLogin(bool launch)
{
    m_launchAtLogin = launch;
    Q_EMIT launchAtLoginChanged();
    if (m_loginItem->isEnabled() == launch)
        return;
    QString error;
    if (!m_loginItem->setEnabled(launch, error))
        plainLog(u"Vesper: launch-at-login toggle failed: "_s + error);
}

void AppSettings::setScrobbleNowPlaying(bool enabled)
{
    m_scrobbleNowPlaying = enabled;
    m_defaults.setValue(SettingsKeys::scrobbleNowPlaying, enabled);
    Q_EMIT scrobbleNowPlayingChanged();
}

void AppSettings::setScrobbleHistory(bool enabled)
{
    m_scrobbleHistory = enabled;
    m_defaults.setValue(SettingsKeys::scrobbleHistory, enabled);
    Q_EMIT scrobbleHistoryChanged();
}

void AppSettings::setAutoCheckUpdates(bool enabled)
{
    m_autoCheckUpdates = enabled;
    m_defaults.setValue(SettingsKeys::autoCheckUpdates, enabled);
    Q_EMIT autoCheckUpdatesChanged();
}

std::optional<Hotkey> AppSettings::hotkey(HotkeyAction action) const
{
    const auto entry = m_hotkeyTable.constFind(HotkeyActions::rawValue(action));
    if (entry == m_hotkeyTable.cend())
        return HotkeyActions::defaultHotkey(action);
    // Numbers a hand-edited file put out of range bind no key rather than a wrapped one.
    if (entry->size() != 2 || !fitsUnsigned32(entry->at(0)) || !fitsUnsigned32(entry->at(1)))
        return std::nullopt;
    return Hotkey { quint32(entry->at(0)), quint32(entry->at(1)) };
}

void AppSettings::setHotkey(const std::optional<Hotkey> &hotkey, HotkeyAction action)
{
    QList<qint64> entry;
    if (hotkey)
        entry = { qint64(hotkey->keyCode), qint64(hotkey->modifiers) };
    m_hotkeyTable.insert(HotkeyActions::rawValue(action), entry);
    writeHotkeyTable();
    Q_EMIT hotkeyTableChanged();
}

void AppSettings::setHotkeyTable(const HotkeyTable &table)
{
    m_hotkeyTable = table;
    writeHotkeyTable();
    Q_EMIT hotkeyTableChanged();
}

void AppSettings::writeHotkeyTable()
{
    QVariantMap stored;
    for (auto it = m_hotkeyTable.cbegin(); it != m_hotkeyTable.cend(); ++it) {
        QVariantList entry;
        for (qint64 number : it.value())
            entry.append(number);
        stored.insert(it.key(), entry);
    }
    m_defaults.setValue(SettingsKeys::hotkeys, stored);
}

bool AppSettings::isScrobbleEnabled(const Source &source) const
{
    return m_scrobbleSources.value(source.rawValue(), true);
}

void AppSettings::setScrobbleSource(const Source &source, bool enabled)
{
    m_scrobbleSources.insert(source.rawValue(), enabled);
    writeScrobbleSources();
    Q_EMIT scrobbleSourcesChanged();
}

void AppSettings::setScrobbleSources(const ScrobbleSources &sources)
{
    m_scrobbleSources = sources;
    writeScrobbleSources();
    Q_EMIT scrobbleSourcesChanged();
}

void AppSettings::writeScrobbleSources()
{
    QVariantMap stored;
    for (auto it = m_scrobbleSources.cbegin(); it != m_scrobbleSources.cend(); ++it)
        stored.insert(it.key(), it.value());
    m_defaults.setValue(SettingsKeys::scrobbleSources, stored);
}
