#include "ui/task_line.h"

#include <gtest/gtest.h>

namespace {

// The update's figures come first and the file's name gets what is left, a Japanese character
// taking two columns; the time left and the rate are added while the name keeps some room.
TEST(TaskLineTest, TheWholeUpdateFitsTheLineBeforeTheFile) {
  const FetchFigures half{.bytes_total = 4 << 20, .bytes_done = 2 << 20};
  const struct {
    std::string task;
    FetchFigures fetch;
    double rate;
    int columns;
    std::string shown;
  } cases[] = {
      {"data/stage1.dat", half, 1 << 20, 80,
       "data/stage1.dat 全体 2.0 MiB/4.0 MiB 残り 0:02 1.0 MiB/s"},
      {"data/stage1.dat", half, 1 << 20, 50, "data/stage1.dat 全体 2.0 MiB/4.0 MiB 残り 0:02"},
      {"data/stage1.dat", half, 1 << 20, 29, "data/sta 全体 2.0 MiB/4.0 MiB"},
      {"ゲーム.dat", half, 0, 28, "ゲーム. 全体 2.0 MiB/4.0 MiB"},
      {"data/stage1.dat", half, 0, 10, "全体 2.0 M"},
      {"big.vpk",
       {.bytes_total = 10, .bytes_done = 20, .checking = true},
       5,
       80,
       "big.vpk 確認中 全体 20 B/10 B 残り 0:00 5 B/s"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(TaskLine(c.task, c.fetch, c.rate, c.columns), c.shown) << c.columns;
  }
}

}  // namespace
