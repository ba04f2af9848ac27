// The layout of the two dialogs before the skin resizes the main one, in dialog units of a 9-point
// "MS UI Gothic" font, for views that build their windows from a template.
#pragma once

#include "res/resource.h"
#include "res/strings.h"

struct DialogControlTemplate {
  int id;
  enum class Kind { kProgressBar, kReadOnlyEdit, kPushButton, kIcon, kStatic } kind;
  const char* text;
  int x, y, width, height;
};

inline constexpr char kDialogFontFace[] = "MS UI Gothic";
inline constexpr int kDialogFontPoints = 9;

inline constexpr int kUpdaterDialogWidth = 136;
inline constexpr int kUpdaterDialogHeight = 89;
inline constexpr DialogControlTemplate kUpdaterDialogControls[] = {
    {IDC_MAIN_PROGRESS, DialogControlTemplate::Kind::kProgressBar, "", 7, 7, 120, 14},
    {IDC_TASK_PROGRESS, DialogControlTemplate::Kind::kProgressBar, "", 7, 25, 120, 14},
    {IDC_TASK_EDIT, DialogControlTemplate::Kind::kReadOnlyEdit, "", 7, 43, 119, 14},
    {IDC_START_GAME, DialogControlTemplate::Kind::kPushButton, kStartGameLabel, 7, 66, 69, 16},
    {IDC_QUIT, DialogControlTemplate::Kind::kPushButton, kQuitLabel, 79, 66, 50, 16},
};

inline constexpr int kAboutDialogWidth = 235;
inline constexpr int kAboutDialogHeight = 55;
// Id 1 is the OK button that closes the box; -1 marks static items without an id.
inline constexpr DialogControlTemplate kAboutDialogControls[] = {
    {IDR_MAINFRAME, DialogControlTemplate::Kind::kIcon, "", 11, 17, 20, 20},
    {-1, DialogControlTemplate::Kind::kStatic, kAboutVersionLine, 40, 10, 119, 8},
    {-1, DialogControlTemplate::Kind::kStatic, kAboutSecondLine, 40, 25, 119, 8},
    {1, DialogControlTemplate::Kind::kPushButton, "OK", 178, 7, 50, 16},
};
