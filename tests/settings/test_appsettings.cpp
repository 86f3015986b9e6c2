#include "LogCapture.h"
#include "core/SettingsKeys.h"
#include "core/SettingsStore.h"
#include "platform/DesktopAppearance.h"
#include "platform/LoginItem.h"
#include "settings/AppSettings.h"

#include <QGuiApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPalette>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {

class FakeLoginItem : public LoginItem
{
public:
    bool enabled = false;
    bool refuse = false;
    int changes = 0;

    bool isEnabled() const override { return enabled; }
    bool setEnabled(bool wanted, QString &errorString) override
    {
        ++changes;
        if (refuse)
            errorString = u"Permission denied"_s;
        else
            enabled = wanted;
        return !refuse;
    }
};

class FakeAppearance : public DesktopAppearance
{
public:
    bool dark = false;
    bool prefersDark() const override { return dark; }
    void change(bool toDark)
    {
        dark = toDark;
        Q_EMIT preferenceChanged();
    }
};

} // namespace

class TestAppSettings : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<SettingsStore> m_defaults;
    FakeAppearance m_appearance;
    FakeLoginItem *m_loginItem = nullptr;

    QString path() const { return m_dir->filePath(u"defaults.json"_s); }

    // Opens the domain as a new launch would.
    std::unique_ptr<AppSettings> launch(bool loginEnabled = false)
    {
        m_defaults = std::make_unique<SettingsStore>(path());
        auto loginItem = std::make_unique<FakeLoginItem>();
        loginItem->enabled = loginEnabled;
        m_loginItem = loginItem.get();
        return std::make_unique<AppSettings>(*m_defaults, std::move(loginItem), m_appearance);
    }
    void seed(const QVariantMap &values)
    {
        SettingsStore defaults(path());
        for (auto it = values.cbegin(); it != values.cend(); ++it)
            defaults.setValue(it.key(), it.value());
    }
    QJsonObject storedFile() const
    {
        QFile file(path());
        return file.open(QIODevice::ReadOnly) ? QJsonDocument::fromJson(file.readAll()).object()
                                              : QJsonObject();
    }

private Q_SLOTS:
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        m_appearance.dark = false;
    }

    void valuesStartAtTheDefaultsAndSurviveARestart()
    {
        {
            auto settings = launch();
            QCOMPARE(settings->colorScheme(), AppColorScheme::System);
            QVERIFY(settings->alwaysOnTop() && settings->autoCheckUpdates());
            QVERIFY(!settings->liquidGlassEnabled() && !settings->launchAtLogin());
            QVERIFY(settings->isScrobbleEnabled(Source::generic(u"radio.example"_s)));
            QCOMPARE(settings->glassBackgroundRed(), 1.0);
            // Creation writes nothing the user did not choose.
            QVERIFY(!storedFile().contains(SettingsKeys::alwaysOnTop));

            settings->setColorScheme(AppColorScheme::Dark);
            settings->setAlwaysOnTop(false);
            settings->setScrobbleHistory(false);
            settings->setAutoCheckUpdates(false);
            settings->setLiquidGlassEnabled(true);
            settings->setScrobbleSource(Source::YoutubeMusic, false);
            settings->setHotkey(Hotkey { 49, Hotkey::Command | Hotkey::Shift },
                                HotkeyAction::PlayPause);
            settings->setGlassCornerRadius(4);
        }
        auto settings = launch();
        QCOMPARE(settings->colorScheme(), AppColorScheme::Dark);
        QVERIFY(!settings->alwaysOnTop() && !settings->scrobbleHistory());
        QVERIFY(settings->scrobbleNowPlaying());
        QVERIFY(!settings->autoCheckUpdates() && settings->liquidGlassEnabled());
        QVERIFY(!settings->isScrobbleEnabled(Source::YoutubeMusic));
        QVERIFY(settings->isScrobbleEnabled(Source::Spotify));
        QCOMPARE(settings->hotkey(HotkeyAction::PlayPause), (Hotkey { 49, 0x300 }));
        // The glass look is not persisted and starts from its defaults, dark this time.
        QCOMPARE(settings->glassCornerRadius(), 15.0);
        QCOMPARE(settings->glassBackgroundRed(), 0.0);
        QCOMPARE(settings->glassVeilOpacity(), 0.75);
        QCOMPARE(storedFile().value(SettingsKeys::colorScheme).toString(), u"dark"_s);
    }

    void wrongTypesFallBackAndStayUntilAssigned()
    {
        seed({ { SettingsKeys::colorScheme, u"sepia"_s },
               { SettingsKeys::alwaysOnTop, u"no"_s },
               { SettingsKeys::scrobbleSources,
                 QVariantMap { { u"com.spotify.client"_s, false }, { u"x"_s, 1 } } },
               { SettingsKeys::hotkeys,
                 QVariantMap { { u"playPause"_s, QVariantList { 1, u"2"_s } } } } });
        auto settings = launch();
        QCOMPARE(settings->colorScheme(), AppColorScheme::System);
        QVERIFY(settings->alwaysOnTop());
        QVERIFY(settings->isScrobbleEnabled(Source::Spotify));
        QCOMPARE(settings->hotkey(HotkeyAction::PlayPause),
                 HotkeyActions::defaultHotkey(HotkeyAction::PlayPause));
        QCOMPARE(storedFile().value(SettingsKeys::alwaysOnTop), QJsonValue(u"no"_s));
        QCOMPARE(storedFile().value(SettingsKeys::colorScheme), QJsonValue(u"sepia"_s));
        settings->setAlwaysOnTop(true);
        QCOMPARE(storedFile().value(SettingsKeys::alwaysOnTop), QJsonValue(true));
    }

    void storedValuesAreMigratedAtLaunch()
    {
        seed({ { SettingsKeys::legacyScrobbleSourceSpotify, false },
               { SettingsKeys::legacyScrobbleSourceAppleMusic, u"false"_s },
               { SettingsKeys::legacyScrobbleSourceYouTubeMusic, false },
               { SettingsKeys::scrobbleSources,
                 QVariantMap { { u"com.vesper.web.ytmusic"_s, true } } },
               { u"settings.glass.cornerRadius"_s, 3 },
               { SettingsKeys::obsoleteWebSources, QVariantList { u"x"_s } },
               { u"someday.feature"_s, 42 } });
        {
            auto settings = launch();
            QVERIFY(!settings->isScrobbleEnabled(Source::Spotify));
            // Not a boolean: ignored and left alone.
            QVERIFY(settings->isScrobbleEnabled(Source::AppleMusic));
            // The newer map wins over a legacy switch.
            QVERIFY(settings->isScrobbleEnabled(Source::YoutubeMusic));
            QCOMPARE(settings->glassCornerRadius(), 15.0);
        }
        const QJsonObject stored = storedFile();
        QVERIFY(!stored.contains(SettingsKeys::legacyScrobbleSourceSpotify));
        QVERIFY(!stored.contains(SettingsKeys::legacyScrobbleSourceYouTubeMusic));
        QVERIFY(stored.contains(SettingsKeys::legacyScrobbleSourceAppleMusic));
        QCOMPARE(
            stored.value(SettingsKeys::scrobbleSources).toObject().value(u"com.spotify.client"_s),
            QJsonValue(false));
        QVERIFY(!stored.contains(u"settings.glass.cornerRadius"_s));
        QVERIFY(!stored.contains(SettingsKeys::obsoleteWebSources));
        QCOMPARE(stored.value(u"someday.feature"_s).toInt(), 42);
        QVERIFY(!launch()->isScrobbleEnabled(Source::Spotify));
    }

    void hotkeys()
    {
        // An empty entry unbinds; one that is not two unsigned 32-bit numbers binds no key.
        seed({ { SettingsKeys::hotkeys,
                 QVariantMap { { u"playPause"_s, QVariantList { 12, 256 } },
                               { u"nextTrack"_s, QVariantList {} },
                               { u"previousTrack"_s, QVariantList { 35, 4096, 1 } },
                               { u"toggleLike"_s, QVariantList { -1, 4096 } },
                               { u"toggleLyrics"_s, QVariantList { 35, qint64(1) << 33 } } } } });
        auto settings = launch();
        QCOMPARE(settings->hotkey(HotkeyAction::PlayPause), (Hotkey { 12, 256 }));
        for (HotkeyAction action : { HotkeyAction::NextTrack, HotkeyAction::PreviousTrack,
                                     HotkeyAction::ToggleLike, HotkeyAction::ToggleLyrics })
            QCOMPARE(settings->hotkey(action), std::nullopt);
        QCOMPARE(settings->hotkey(HotkeyAction::TogglePanel),
                 HotkeyActions::defaultHotkey(HotkeyAction::TogglePanel));

        QSignalSpy changes(settings.get(), &AppSettings::hotkeyTableChanged);
        settings->setHotkey(std::nullopt, HotkeyAction::TogglePanel);
        QCOMPARE(changes.count(), 1);
        QCOMPARE(settings->hotkey(HotkeyAction::TogglePanel), std::nullopt);
        const QJsonObject stored = storedFile().value(SettingsKeys::hotkeys).toObject();
        QCOMPARE(stored.value(u"togglePanel"_s), QJsonValue(QJsonArray()));
        settings->setHotkeyTable({});
        QCOMPARE(settings->hotkey(HotkeyAction::TogglePanel),
                 HotkeyActions::defaultHotkey(HotkeyAction::TogglePanel));
    }

    void assignmentsNotifyAndTheGlassLivesInMemory()
    {
        auto settings = launch();
        QSignalSpy onTop(settings.get(), &AppSettings::alwaysOnTopChanged);
        QSignalSpy style(settings.get(), &AppSettings::panelStyleChanged);
        // Every assignment is announced and written, also of an unchanged value.
        settings->setAlwaysOnTop(true);
        settings->setAlwaysOnTop(true);
        QCOMPARE(onTop.count(), 2);
        QCOMPARE(storedFile().value(SettingsKeys::alwaysOnTop), QJsonValue(true));
        settings->setLiquidGlassEnabled(false);
        settings->setGlassShadowEnabled(true);
        settings->setGlassTintOpacity(0.3);
        QCOMPARE(style.count(), 3);
        QCOMPARE(onTop.count(), 2);
        QVERIFY(!storedFile().contains(u"settings.glass.tintOpacity"_s));
        QVERIFY(qAbs(settings->glassTintColor().alphaF() - 0.3f) < 0.001f);

        // A new colour scheme puts the glass background back to that scheme's defaults.
        settings->setColorScheme(AppColorScheme::Light);
        settings->setGlassBackgroundRed(0.5);
        settings->setGlassVeilOpacity(0.1);
        style.clear();
        settings->setColorScheme(AppColorScheme::Dark);
        QCOMPARE(style.count(), 4);
        QCOMPARE(settings->glassBackgroundColor(), QColor::fromRgbF(0, 0, 0, 0.75f));
    }

    void systemSchemeFollowsTheDesktop()
    {
        m_appearance.dark = true;
        auto settings = launch();
        QVERIFY(settings->isEffectivelyDark());
        QCOMPARE(settings->glassVeilOpacity(), 0.75);
        settings->applyAppearance();
        const QColor darkWindow = QGuiApplication::palette().color(QPalette::Window);
        QVERIFY(darkWindow.lightnessF() < 0.5);
        m_appearance.change(false);
        QVERIFY(QGuiApplication::palette().color(QPalette::Window).lightnessF() > 0.5);
        settings->setColorScheme(AppColorScheme::Dark);
        m_appearance.change(false);
        QVERIFY(QGuiApplication::palette().color(QPalette::Window).lightnessF() < 0.5);
    }

    void loginItem()
    {
        auto settings = launch(true);
        QVERIFY(settings->launchAtLogin());
        settings->setLaunchAtLogin(true);
        QCOMPARE(m_loginItem->changes, 0);
        settings->setLaunchAtLogin(false);
        QCOMPARE(m_loginItem->changes, 1);
        QVERIFY(!m_loginItem->enabled);

        m_loginItem->refuse = true;
        LogCapture log;
        settings->setLaunchAtLogin(true);
        QVERIFY(settings->launchAtLogin());
        QCOMPARE(log.lines(),
                 QStringList { u"Vesper: launch-at-login toggle failed: Permission denied"_s });
        // The next launch shows the system's true state.
        QVERIFY(!launch(m_loginItem->enabled)->launchAtLogin());
    }
};

QTEST_MAIN(TestAppSettings)
#include "test_appsettings.moc"
