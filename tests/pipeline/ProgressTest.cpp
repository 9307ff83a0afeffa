#include "pipeline/Progress.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace karvello {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

// One line of a terminal as a person sees it: a printable byte takes the
// cell under the cursor, CR goes back to the start, BS one cell back, and
// ESC [ K blanks from the cursor to the end.
class ScreenLine {
 public:
  void Take(std::string_view bytes) {
    for (std::size_t i = 0; i < bytes.size(); ++i) {
      if (bytes.substr(i, 3) == "\033[K") {
        cells_.resize(cursor_);
        i += 2;
      } else if (bytes[i] == '\r') {
        cursor_ = 0;
      } else if (bytes[i] == '\b') {
        if (cursor_ > 0) --cursor_;
      } else {
        if (cursor_ == cells_.size()) cells_ += ' ';
        cells_[cursor_++] = bytes[i];
      }
    }
  }
  // What shows, without the blanks at the end.
  std::string Shown() const {
    return cells_.substr(0, cells_.find_last_not_of(' ') + 1);
  }
  std::size_t cursor() const { return cursor_; }

 private:
  std::string cells_;
  std::size_t cursor_ = 0;
};

TEST(ProgressTest, TheLineTellsTheShareReadTheRateAndTheTimeLeft) {
  EXPECT_EQ(Progress::Line(1536, 3072, 1.0, nullptr),
            "karvello-cli: 1.5 KiB of 3.0 KiB read (50%), 1.5 KiB/s, 1 s left");
  EXPECT_EQ(Progress::Line(99, 100, 3.0, nullptr),
            "karvello-cli: 99 B of 100 B read (99%), 33 B/s, 0 s left");
  // Unknown sizes: what was read and its rate; a stage instead of the time.
  EXPECT_EQ(Progress::Line(5 << 20, 0, 2.0, "working through the parts"),
            "karvello-cli: 5.0 MiB read, 2.5 MiB/s, working through the parts");
}

TEST(ProgressTest, EachRedrawShowsOnlyTheNewLineAndTheClearLeavesNothing) {
  const std::string lines[] = {
      Progress::Line(5 << 20, 1 << 30, 2, nullptr),
      Progress::Line(1 << 30, 1 << 30, 9, "working through the parts on disk"),
      Progress::Line(12, 0, 1, nullptr),
      Progress::Line(2000, 0, 1, nullptr),
  };
  for (const bool erases : {true, false}) {
    SCOPED_TRACE(erases ? "a terminal that erases" : "an older console");
    ScreenLine screen;
    std::size_t last = 0;
    for (const std::string& line : lines) {
      const std::string bytes = Progress::Redraw(line, last, erases);
      // An older console shows an escape sequence as it is.
      if (!erases) {
        EXPECT_THAT(bytes, Not(HasSubstr("\033")));
      }
      screen.Take(bytes);
      EXPECT_EQ(screen.Shown(), line);
      EXPECT_EQ(screen.cursor(), line.size());
      last = line.size();
    }
    screen.Take(Progress::Redraw("", last, erases));
    EXPECT_EQ(screen.Shown(), "");
    EXPECT_EQ(screen.cursor(), 0u);
  }
}

}  // namespace
}  // namespace karvello
