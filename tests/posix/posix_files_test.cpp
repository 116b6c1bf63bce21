#include "platform/posix/posix_files.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <map>

namespace druvo {
namespace {

class PosixFilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/druvo-posix-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { (void)!std::system(("rm -rf '" + dir_ + "'").c_str()); }
  std::string Path(const std::string& name) const { return dir_ + "/" + name; }
  void Write(const std::string& name, const std::string& data) {
    std::ofstream(Path(name), std::ios::binary) << data;
  }
  std::map<std::string, DirEntry> Scan(const std::string& pattern) {
    std::map<std::string, DirEntry> found;
    EXPECT_TRUE(files_.Search(DropFolder::Of(dir_ + "/" + pattern, '/'), [&](const DirEntry& e) {
      DirEntry copy = e;
      copy.name = nullptr;
      found[e.name] = copy;
    }));
    return found;
  }

  std::string dir_;
  PosixFileSystem files_;
};

TEST_F(PosixFilesTest, AttributesFollowTheWindowsBits) {
  Write("plain.prn", "12345");
  Write("ro.prn", "r");
  chmod(Path("ro.prn").c_str(), 0444);
  Write(".dot.prn", "d");
  mkdir(Path("sub.prn").c_str(), 0755);
  mkfifo(Path("fifo.prn").c_str(), 0644);
  ASSERT_EQ(0, symlink(Path("plain.prn").c_str(), Path("link.prn").c_str()));
  auto found = Scan("*.*");
  EXPECT_EQ(found.at("plain.prn").attributes, kAttrArchive);
  EXPECT_EQ(found.at("plain.prn").size, 5u);
  EXPECT_EQ(found.at("ro.prn").attributes, kAttrArchive | kAttrReadOnly);
  EXPECT_EQ(found.at(".dot.prn").attributes, kAttrArchive | kAttrHidden);
  EXPECT_EQ(found.at("sub.prn").attributes, kAttrDirectory);
  EXPECT_EQ(found.at("fifo.prn").attributes, kAttrReparsePoint);
  EXPECT_EQ(found.at("link.prn").attributes, kAttrReparsePoint);
  EXPECT_EQ(found.at(".").attributes, kAttrDirectory);
}

TEST_F(PosixFilesTest, PatternMatchesWithoutCaseAndWriteTimeIsExact) {
  Write("A.PRN", "x");
  Write("b.txt", "y");
  timespec times[2] = {{1700000000, 123456789}, {1700000000, 123456789}};
  utimensat(AT_FDCWD, Path("A.PRN").c_str(), times, 0);
  auto found = Scan("*.prn");
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found.at("A.PRN").writeTime,
            (1700000000ULL + 11644473600ULL) * 10000000ULL + 1234567ULL);
  EXPECT_FALSE(files_.Search(DropFolder::Of(dir_ + "/missing/*.*", '/'), [](const DirEntry&) {}));
}

TEST_F(PosixFilesTest, OpenTellsReadyNotReadyGoneAndFailed) {
  Write("done.prn", "done");
  std::unique_ptr<InputFile> file;
  std::string error;
  ASSERT_EQ(files_.Open(Path("done.prn").c_str(), &file, &error), OpenOutcome::Opened);
  char buffer[16];
  EXPECT_EQ(file->Read(buffer, sizeof buffer, &error), 4);
  EXPECT_EQ(file->Read(buffer, sizeof buffer, &error), 0);

  const int writer = open(Path("busy.prn").c_str(), O_WRONLY | O_CREAT, 0644);
  ASSERT_GE(writer, 0);
  EXPECT_EQ(files_.Open(Path("busy.prn").c_str(), &file, &error), OpenOutcome::NotReady);
  close(writer);
  EXPECT_EQ(files_.Open(Path("busy.prn").c_str(), &file, &error), OpenOutcome::Opened);

  EXPECT_EQ(files_.Open(Path("nothing.prn").c_str(), &file, &error), OpenOutcome::Gone);
  mkfifo(Path("fifo.prn").c_str(), 0644);
  EXPECT_EQ(files_.Open(Path("fifo.prn").c_str(), &file, &error), OpenOutcome::Failed);
  ASSERT_EQ(0, symlink(Path("done.prn").c_str(), Path("link.prn").c_str()));
  EXPECT_EQ(files_.Open(Path("link.prn").c_str(), &file, &error), OpenOutcome::Failed);
  EXPECT_FALSE(error.empty());
}

TEST_F(PosixFilesTest, DeleteReportsWhy) {
  Write("x.prn", "x");
  EXPECT_TRUE(files_.Delete(Path("x.prn").c_str()));
  OpResult again = files_.Delete(Path("x.prn").c_str());
  EXPECT_FALSE(again);
  EXPECT_NE(again.error.find("No such file"), std::string::npos);
}

}  // namespace
}  // namespace druvo
