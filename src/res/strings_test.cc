// The fixed texts byte for byte: the other tests take them from these constants, so a changed
// character would otherwise reach players unnoticed. The other historical texts are pinned, behind
// their classes' prefixes, by the tests of the layers that raise them.
#include "res/strings.h"

#include <gtest/gtest.h>

#include "res/historical_messages.h"

namespace {

TEST(FixedTextsTest, EachTextIsExactlyAsShipped) {
  const std::pair<std::string, std::string> texts[] = {
      {LoadResourceString(IDS_ABOUTBOX), "バージョン情報 RV7Updater(&A)..."},
      {LoadResourceString(IDP_SOCKETS_INIT_FAILED), "Windows ソケットの初期化に失敗しました。"},
      {kUpdaterTitle, "RV7 Updater"},
      {kStartGameLabel, "ゲーム起動"},
      {kQuitLabel, "終了"},
      {kAboutCaption, "バージョン情報"},
      {kAboutVersionLine, "RV7 Updater Version 1.0"},
      {kAboutSecondLine, "ゲームのファイルを最新の版に更新します。"},
      {kErrorCaption, "エラー"},
      {kConfirmCaption, "確認"},
      {kInformationCaption, "ご案内"},
      {kErrorLead,
       "エラーが発生しました。\r\n少し時間をおいて、再度アップデートしてください。\r\n\r\n詳細:"
       "\r\n"},
      {kUnknownError,
       "不明なエラーで終了しました\r\n少し時間をおいて、再度アップデートしてください。"},
      {kReadOnlyFolder,
       "インストールフォルダが読み込み専用フォルダになっているためアップデート出来ません."},
      {kQuitGameFirst, "アップデートする際はゲームを終了してください。"},
      {kUpdaterSwapText, "アップデータの更新を行います"},
      {kUpdaterRestartText, "アップデータが更新されました。\r\n再起動します。"},
      {kSwapperLoadError, "Data-swaper load error."},
  };
  for (const auto& [text, shipped] : texts) EXPECT_EQ(text, shipped);
}

}  // namespace
