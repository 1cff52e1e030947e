#pragma once

// Names and addresses the program shows or hands to the desktop; defined once, below every
// layer that shows them, so that the window, the About box, the settings store and the
// recommendation message agree.
namespace ProductInfo {

inline constexpr const char* kProgramName = "Trellion";
// The settings store's company key; with the program name it names the settings file.
inline constexpr const char* kOrganisation = "Brenhollow";
inline constexpr const char* kVersion = TRELLION_VERSION;
// The launcher's name without .desktop; Wayland matches the window to the launcher by it.
inline constexpr const char* kDesktopFileName = "org.brenhollow.Trellion";
inline constexpr const char* kProductPageUrl = "https://www.brenhollow.com/trellion";
inline constexpr const char* kDescription =
    "Watches up to four databases through ODBC, graphs their access times, logs every poll and "
    "mails you when one becomes unreachable, slow or recovers.";

} // namespace ProductInfo
