// The program's own per-user registry section: the window position, and the
// driver permissions runs have granted and not yet seen taken back.
#pragma once

inline constexpr char SettingsKey[] = "Software\\Varnosti\\pelwin";
inline constexpr char WindowSection[] = "Window";
inline constexpr char GrantsSection[] = "Grants";
