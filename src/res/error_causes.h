// What an error box says after the failure's own text: the cause, in the player's words, and what
// the player can do about it. One row per cause the system tells apart; a failure of no known cause
// adds nothing.
#pragma once

#include <string>

#include "res/strings.h"

// Set where a failure is raised, and carried with it to the box.
enum class ErrorCause { kUnknown, kNetwork, kDisk, kClock, kInstall, kPublisher };

// What a cause's paragraph names, as the raising code knows it: the server (network), the drive
// and the megabytes to free (disk), the date the PC reads and the release's signing date (clock),
// the updater's file (install). Either may be empty.
struct CauseSubjects {
  std::string first;
  std::string second;
};

namespace error_causes {

struct Row {
  ErrorCause cause;
  // "%1" and "%2" stand for the subjects. A clause in "[...]" is left out with its subject: the
  // box never shows a blank where a name or a number belongs.
  const char* paragraph;
};

inline constexpr Row kRows[] = {
    {ErrorCause::kNetwork,
     "サーバー[ %1 ]と通信できませんでした。インターネットに接続されているかを確かめてから、"
     "もう一度アップデートしてください。"},
    {ErrorCause::kDisk,
     "ディスクの空き容量が足りません。[ドライブ %1 に]"
     "[%2 MB 以上の]空きを作ってから、もう一度アップデートしてください。"},
    {ErrorCause::kInstall,
     "アップデータのファイル[ %1 ]が壊れているか、見つかりません。"
     "ゲームをインストールし直してください。"},
    {ErrorCause::kPublisher,
     "ゲームの配信元のサーバーが、アップデートを正しく配信していません"
     "（リリースの期限切れ、署名やファイルの欠落など）。"
     "もう一度アップデートしても直らないときは、ゲームの配信元にお問い合わせください。"},
};

// The row's text with its subjects put in, and each bracketed clause kept only when its subject
// is there.
inline std::string Filled(const char* paragraph, const CauseSubjects& subjects) {
  std::string out, clause;
  bool in_clause = false, clause_kept = true;
  for (const char* p = paragraph; *p != '\0'; ++p) {
    std::string& into = in_clause ? clause : out;
    if (*p == '[') {
      in_clause = true;
      clause_kept = true;
      clause.clear();
    } else if (*p == ']') {
      in_clause = false;
      if (clause_kept) out += clause;
    } else if (*p == '%' && (p[1] == '1' || p[1] == '2')) {
      const std::string& subject = *++p == '1' ? subjects.first : subjects.second;
      if (subject.empty()) clause_kept = false;
      into += subject;
    } else {
      into += *p;
    }
  }
  return out;
}

// The clock's paragraph is the one a release's refused times have always said, with the two dates.
inline std::string ClockParagraph(const CauseSubjects& dates) {
  std::string text = kClockLooksWrong;
  if (!dates.first.empty()) text += std::string("\r\n") + kClockReadAs + dates.first;
  if (!dates.second.empty()) text += std::string("\r\n") + kReleaseSignedAt + dates.second;
  return text;
}

}  // namespace error_causes

// The paragraph that follows a failure of this cause in an error box, led by the blank line that
// makes it one; empty for a failure of no known cause.
inline std::string CauseParagraph(ErrorCause cause, const CauseSubjects& subjects) {
  if (cause == ErrorCause::kClock) return "\r\n\r\n" + error_causes::ClockParagraph(subjects);
  for (const error_causes::Row& row : error_causes::kRows) {
    if (row.cause == cause) return "\r\n\r\n" + error_causes::Filled(row.paragraph, subjects);
  }
  return {};
}
