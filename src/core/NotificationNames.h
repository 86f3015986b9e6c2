#pragma once

#include <QString>

// Names of the in-process notifications.
namespace NotificationNames {
inline const QString alwaysOnTopSettingChanged = QStringLiteral("vesper.alwaysOnTopSettingChanged");
inline const QString panelStyleSettingChanged = QStringLiteral("vesper.panelStyleSettingChanged");
inline const QString lyricsToggled = QStringLiteral("lyricsToggled");
inline const QString likeToggleRequested = QStringLiteral("likeToggleRequested");
inline const QString lyricsToggleRequested = QStringLiteral("lyricsToggleRequested");
} // namespace NotificationNames
