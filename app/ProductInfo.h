#pragma once

// Names and addresses the program shows or hands to the desktop; defined once so that the
// window, the About box and the recommendation message agree.
namespace ProductInfo {

inline constexpr const char* kProgramName = "Trellion";
// The launcher's name without .desktop; Wayland matches the window to the launcher by it.
inline constexpr const char* kDesktopFileName = "org.brenhollow.Trellion";
inline constexpr const char* kProductPageUrl = "https://www.brenhollow.com/trellion";
inline constexpr const char* kDescription =
    "Watches up to four databases through ODBC, graphs their access times, logs every poll and "
    "mails you when one becomes unreachable, slow or recovers.";

} // namespace ProductInfo
