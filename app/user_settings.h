// The program's own per-user registry section: the window position.
#pragma once

inline constexpr char SettingsKey[] = "Software\\Varnosti\\pelwin";
inline constexpr char WindowSection[] = "Window";
