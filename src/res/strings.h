// The string table and the fixed texts of the dialogs. Narrow text in the system's character set
// (UTF-8 literals here).
#pragma once

#include <string>

#include "res/resource.h"

// The string table entry id, or the empty text for an id the table does not hold.
inline std::string LoadResourceString(int id) {
  switch (id) {
    case IDS_ABOUTBOX:
      return "バージョン情報 RV7Updater(&A)...";
    case IDP_SOCKETS_INIT_FAILED:
      return "Windows ソケットの初期化に失敗しました。";
    default:
      return {};
  }
}

inline constexpr char kUpdaterTitle[] = "RV7 Updater";
inline constexpr char kStartGameLabel[] = "ゲーム起動";
inline constexpr char kQuitLabel[] = "終了";

inline constexpr char kAboutCaption[] = "バージョン情報";
inline constexpr char kAboutVersionLine[] = "RV7 Updater Version 1.0";
inline constexpr char kAboutSecondLine[] = "ゲームのファイルを最新の版に更新します。";
