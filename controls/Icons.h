#pragma once

#include <QIcon>
#include <QString>

// The program's icons and strings under their resource numbers.
namespace IconId {
inline constexpr int Program = 128; // a database drum; also the windows' icon
inline constexpr int Frame1 = 131;  // 131 to 134: the animation after each probe
inline constexpr int Frame2 = 132;
inline constexpr int Frame3 = 133;
inline constexpr int Frame4 = 134;
inline constexpr int Unreachable = 138; // drum with a red mark
inline constexpr int Slow = 142;        // drum with a yellow mark
} // namespace IconId

// The program's icon in the desktop's icon theme, as installed with the launcher.
inline constexpr const char* kThemeIconName = "org.brenhollow.Trellion";

// Null icon for a number without an icon. Safe from any thread; on the UI thread the program's
// icon comes from the icon theme when installed there, the built-in one otherwise.
QIcon TrellionIcon(int id);
// Empty for a number without a string.
QString TrellionString(int id);
