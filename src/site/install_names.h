// Names of files in the install folder that the engine, the dialog and the start-up share.
#pragma once

// The game's package file; replacing it means the updater must restart to read the new one.
inline constexpr char kGamePackageName[] = "RV7.VPK";
// The package as the updater opens it at start-up.
inline constexpr char kGamePackagePath[] = ".\\RV7.vpk";
// The updater's own executable cannot be replaced while it runs: a new one is stored under the
// swap name, and the swap program puts it in place once the updater has ended.
inline constexpr char kUpdaterName[] = "RV7WIN9XME.EXE";
inline constexpr char kUpdaterSwapName[] = "RV7WIN9XME.SWAP";
inline constexpr char kSwapProgramName[] = "rv7swap_ansi.exe";
// Given to the swap program first: once the new updater is in place, start it with the arguments
// that follow. Without it the swap program starts nothing.
inline constexpr char kSwapRestartOption[] = "--restart";
// The proxy settings of the install folder.
inline constexpr char kProxyConfigName[] = "RV7.conf";
// The dialog's settings inside the game's package: layout, skin, game command line and server
// address. Start-up reads it first to learn the game's name.
inline constexpr char kDialogConfigName[] = "dlgconfig.conf";
