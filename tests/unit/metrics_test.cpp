#include "spool/metrics.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace druvo {
namespace {

TEST(MetricsFile, WritesAChangeWithinASecondAndAtLeastOnceAMinuteAndSaysAFailureOnce) {
  std::vector<std::string> saved, lines;
  bool fails = false;
  MetricsFile file(
      "/m.prom",
      [&](const std::string& text) {
        if (fails) return OpResult::Fail("read-only file system");
        saved.push_back(text);
        return OpResult::Ok();
      },
      [&](LogLevel, const std::string& line) { lines.push_back(line); });
  EXPECT_EQ(file.Update("a", 0), MetricsFile::kMaxGapMs);  // at once, at start
  EXPECT_EQ(file.Update("b", 300), 700);                   // a change waits for its second
  EXPECT_EQ(file.Update("b", 1000), MetricsFile::kMaxGapMs);
  EXPECT_EQ(file.Update("b", 2000), 59000);  // unchanged: not written again yet
  file.Update("b", 61000);                   // ...but once a minute
  EXPECT_EQ(saved, (std::vector<std::string>{"a", "b", "b"}));
  // A metrics file that cannot be written: one line per change of error,
  // never more, and a line once it can be written again.
  fails = true;
  file.Update("c", 70000);
  file.Update("d", 71000);
  file.Update("d", 140000);
  EXPECT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("cannot write the metrics file /m.prom: read-only"), std::string::npos);
  fails = false;
  file.Update("e", 141000);
  EXPECT_EQ(saved.back(), "e");
  EXPECT_EQ(lines.size(), 2u);
}

TEST(FormatMetrics, OneSeriesPerStateAndLabelsEscaped) {
  EngineReport report;
  report.waiting = 2;
  report.confirmed = 5;
  const std::string text =
      FormatMetrics(report, MetricsInput{"C:\\kasa \"1\"\\", "1.0", "cover open"});
  EXPECT_NE(text.find("druvo_files_waiting{folder=\"C:\\\\kasa \\\"1\\\"\\\\\"} 2\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find(",state=\"cover_open\"} 1\n"), std::string::npos);
  EXPECT_NE(text.find(",state=\"ok\"} 0\n"), std::string::npos);
  EXPECT_NE(text.find("druvo_printer_up{folder=\"C:\\\\kasa \\\"1\\\"\\\\\"} 0\n"),
            std::string::npos);
  EXPECT_NE(text.find(",outcome=\"printer_confirmed\"} 5\n"), std::string::npos);
}

}  // namespace
}  // namespace druvo
