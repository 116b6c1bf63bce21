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
  file.Update("c", 61300);  // a change undone within its second is never written
  file.Update("b", 61500);
  file.Update("b", 62500);
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

TEST(EventTracker, OneEventPerChangeOfStateNeverOnePerLook) {
  std::vector<Event> told;
  EventTracker events("RACUN", [&](const Event& e) { told.push_back(e); });
  EngineReport r;
  const std::uint64_t minute = 60 * 1000 * kTicksPerMillisecond;
  const std::uint64_t now = 1000 * minute;
  events.Update(r, "", now);
  events.Update(r, "paper out", now);
  events.Update(r, "paper out", now);  // still out: nothing new
  events.Update(r, "cover open", now);
  events.Update(r, "", now);
  // A printer that cannot be reached, without a status of its own.
  r.printerUnavailable = true;
  r.headWhy = "connection refused";
  events.Update(r, "", now);
  events.Update(r, "", now);
  r.printerUnavailable = false;
  // A receipt waits: told once it has waited over two minutes, once.
  r.waiting = 3;
  r.oldest = now - 2 * minute + 1;
  events.Update(r, "", now);
  events.Update(r, "", now + 5 * minute);
  events.Update(r, "", now + 6 * minute);
  r.undeletable = 1;
  events.Update(r, "", now + 6 * minute);
  events.Update(r, "", now + 7 * minute);
  std::vector<std::string> kinds;
  for (const Event& e : told) kinds.push_back(TypeOf(e.kind).name);
  EXPECT_EQ(kinds, (std::vector<std::string>{"paper out", "printer unavailable",
                                             "printer recovered", "printer unavailable",
                                             "printer recovered", "receipt waiting",
                                             "cannot delete"}));
  EXPECT_EQ(told[0].text, "printer RACUN: paper out");
  EXPECT_EQ(told[3].text, "printer RACUN unavailable: connection refused");
  EXPECT_EQ(told[5].text, "3 file(s) waiting, the oldest written 6 min ago");
  // The ids are the stable ones monitoring selects on.
  EXPECT_EQ(TypeOf(EventKind::PaperOut).eventId, 4);
  EXPECT_EQ(std::string(TypeOf(EventKind::PaperOut).messageId), "2f1cb80818164989be39a49c3c018f01");
}

}  // namespace
}  // namespace druvo
