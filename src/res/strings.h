// The string table and the fixed texts the player sees: the dialogs' labels and the message boxes
// of the dialog and of start-up. Narrow text in the system's character set (UTF-8 literals here).
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
// After a refused timestamp whose times the player's clock may explain, followed by the date the
// updater read and the date the release was signed.
inline constexpr char kClockLooksWrong[] =
    "PCの時計が正しくないようです。日付と時刻を合わせてから、もう一度更新してください。";
inline constexpr char kClockReadAs[] = "PCの日時: ";
inline constexpr char kReleaseSignedAt[] = "リリースの署名日時: ";

// Message box captions.
inline constexpr char kErrorCaption[] = "エラー";
inline constexpr char kConfirmCaption[] = "確認";
inline constexpr char kInformationCaption[] = "ご案内";

// Leads an error box; the failure's own text follows it.
inline constexpr char kErrorLead[] =
    "エラーが発生しました。\r\n少し時間をおいて、再度アップデートしてください。\r\n\r\n詳細:\r\n";
// The error box's whole text for a failure that carries no text of the system.
inline constexpr char kUnknownError[] =
    "不明なエラーで終了しました\r\n少し時間をおいて、再度アップデートしてください。";
inline constexpr char kReadOnlyFolder[] =
    "インストールフォルダが読み込み専用フォルダになっているためアップデート出来ません.";
inline constexpr char kQuitGameFirst[] = "アップデートする際はゲームを終了してください。";
// Before the swap program replaces the updater, and before the updater restarts itself to read a
// replaced package.
inline constexpr char kUpdaterSwapText[] = "アップデータの更新を行います";
inline constexpr char kUpdaterRestartText[] = "アップデータが更新されました。\r\n再起動します。";
// Follows the swap's text: the updater ends for a moment, and the program that replaces it starts
// the new one, which goes on with the same options.
inline constexpr char kSelfUpdateNotice[] =
    "アップデータが自分自身を新しいものに置き換えるため、いったん終了します。\r\n"
    "置き換えが済むとアップデータがもう一度起動し、続きを行います。";
