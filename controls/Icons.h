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

// Null icon for a number without an icon. Safe from any thread.
QIcon TrellionIcon(int id);
// Empty for a number without a string.
QString TrellionString(int id);
