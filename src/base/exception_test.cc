// The one table of the base layer's failures with their exact texts and error marks. utf8string
// has no tests of its own: the URL encoding is pinned by the release tool's and the update run's.
#include "base/exception.h"

#include <gtest/gtest.h>

#include <functional>

#include "base/critical_section.h"
#include "base/singleton.h"
#include "base/tstring.h"
#include "base/utf8string.h"

namespace {

TEST(ExceptionTest, EveryBaseFailureWithItsText) {
  const unsigned char odd_big_endian[] = {0xFE, 0xFF, 0x00};
  const struct {
    std::function<void()> fail;
    const char* text;
    bool error = true;
  } cases[] = {
      {.fail = [] { throw RuntimeException("", true); }, .text = "runtime exception."},
      {.fail = [] { throw Exception("", false); }, .text = "", .error = false},
      {.fail = [] { CriticalSection().Leave(); },
       .text = "CCriticalSectionをEnterしていないのにLeaveしている"},
      {.fail =
           [] {
             auto* held = new CriticalSection;
             held->Enter();
             delete held;
           },
       .text = "CCriticalSectionをEnterした回数だけLeaveしないまま終了している"},
      {.fail = [] { std::tstring().Format(nullptr); },
       .text = "std::tstring::format arguments NULL error."},
      {.fail = [&] { std::tstring().SetFromData(sizeof odd_big_endian, odd_big_endian); },
       .text = "Odd data size in unicode!?"},
      {.fail = [] { utf8string().CreateBuffer(0); },
       .text = "utf8string : CreateBuffer size error."},
      {.fail = [] { SingletonManager().Register(nullptr); },
       .text = "SingletonManager : NULL pointer exception."},
  };
  for (const auto& c : cases) {
    try {
      c.fail();
      ADD_FAILURE() << "nothing thrown: " << c.text;
    } catch (const Exception& failure) {
      // Passed on as a copy of the base class, as resource owners do: text and mark stay.
      const Exception passed(failure);
      EXPECT_EQ(passed.GetText(), c.text);
      EXPECT_EQ(passed.IsError(), c.error) << c.text;
    }
  }
}

// What each cause adds to a box, pinned once: its subjects put in, a clause whose subject is
// unknown left out whole.
TEST(ExceptionTest, CausesAddWhatThePlayerCanDo) {
  const std::string again = "もう一度アップデートしてください。";
  const struct {
    ErrorCause cause;
    CauseSubjects subjects;
    std::string paragraph;
  } rows[] = {
      {ErrorCause::kNetwork,
       {"127.0.0.1:80", {}},
       "サーバー 127.0.0.1:80 "
       "と通信できませんでした。インターネットに接続されているかを確かめてから、" +
           again},
      {ErrorCause::kDisk,
       {"D:\\", "12"},
       "ディスクの空き容量が足りません。ドライブ D:\\ に12 MB 以上の空きを作ってから、" + again},
      {ErrorCause::kDisk,
       {"/", {}},
       "ディスクの空き容量が足りません。ドライブ / に空きを作ってから"},
      {ErrorCause::kClock,
       {"2027-01-14T07:59:59Z", "2027-01-15T07:00:00Z"},
       "PCの時計が正しくないようです。日付と時刻を合わせてから、もう一度更新してください。\r\n"
       "PCの日時: 2027-01-14T07:59:59Z\r\nリリースの署名日時: 2027-01-15T07:00:00Z"},
      {ErrorCause::kInstall,
       {"RV7.state", {}},
       "アップデータのファイル RV7.state "
       "が壊れているか、見つかりません。ゲームをインストールし直してください。"},
      {ErrorCause::kPublisher,
       {},
       "ゲームの配信元のサーバーが、アップデートを正しく配信していません（リリースの期限切れ、"
       "署名やファイルの欠落など）。もう一度アップデートしても直らないときは、ゲームの配信元に"
       "お問い合わせください。"},
  };
  for (const auto& row : rows) {
    const std::string said = CauseParagraph(row.cause, row.subjects);
    EXPECT_EQ(said.substr(0, 4 + row.paragraph.size()), "\r\n\r\n" + row.paragraph);
  }
}

}  // namespace
