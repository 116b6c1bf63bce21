#include "platform/posix/posix_files.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <dirent.h>

#include <algorithm>
#include <cstdio>
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

  std::vector<std::string> ListNames() const {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir_.c_str())) {
      while (const dirent* e = readdir(d))
        if (e->d_name[0] != '.' || std::string(e->d_name).size() > 2) names.push_back(e->d_name);
      closedir(d);
    }
    names.erase(std::remove(names.begin(), names.end(), ".."), names.end());
    std::sort(names.begin(), names.end());
    return names;
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

// The file read, as the print job knows it: identity at open, bytes read.
FileIdentity ReadWhole(PosixFileSystem& files, const std::string& path) {
  std::unique_ptr<InputFile> file;
  std::string error;
  EXPECT_EQ(files.Open(path.c_str(), &file, &error), OpenOutcome::Opened);
  FileIdentity read = file->Identity();
  EXPECT_TRUE(files.DigestOf(path.c_str(), &read.content));
  return read;
}

TEST_F(PosixFilesTest, APrintedFileIsDeletedByItsBytesWhateverItsTimesAndAttributesSay) {
  const DropFolder folder = DropFolder::Of(dir_ + "/*.*", '/');
  std::string error;
  // Stamped, its mode changed, an attribute set: still the file printed.
  Write("a.prn", "receipt a");
  const FileIdentity a = ReadWhole(files_, Path("a.prn"));
  const timespec stamp[2] = {{1000, 0}, {1000, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, Path("a.prn").c_str(), stamp, 0), 0);
  ASSERT_EQ(chmod(Path("a.prn").c_str(), 0600), 0);
  EXPECT_EQ(files_.DeleteIfSame(Path("a.prn").c_str(), a, &error), DeleteOutcome::Deleted);
  EXPECT_TRUE(ListNames().empty());

  // Rewritten in place with bytes of the same size, and its times set back
  // as a file system with 1-second times would show them: it stays, by its
  // own name, and nothing is left behind.
  Write("b.prn", "receipt 1");
  const FileIdentity b = ReadWhole(files_, Path("b.prn"));
  struct stat before;
  ASSERT_EQ(stat(Path("b.prn").c_str(), &before), 0);
  Write("b.prn", "receipt 2");
  const timespec same[2] = {before.st_atim, before.st_mtim};
  utimensat(AT_FDCWD, Path("b.prn").c_str(), same, 0);
  EXPECT_EQ(files_.DeleteIfSame(Path("b.prn").c_str(), b, &error), DeleteOutcome::Replaced);
  EXPECT_EQ(ListNames(), std::vector<std::string>{"b.prn"});

  // Gone before the delete.
  unlink(Path("b.prn").c_str());
  EXPECT_EQ(files_.DeleteIfSame(Path("b.prn").c_str(), b, &error), DeleteOutcome::Gone);

  // Claims a crash left: the printed bytes go, any other file is put back.
  Write("c.prn", "receipt c");
  Write("d.prn", "receipt d");
  const FileIdentity c = ReadWhole(files_, Path("c.prn"));
  char claimC[64], claimD[64];
  std::snprintf(claimC, sizeof claimC, ".druvo-claim.%016llx.c.prn",
                static_cast<unsigned long long>(c.content));
  std::snprintf(claimD, sizeof claimD, ".druvo-claim.%016llx.d.prn",
                static_cast<unsigned long long>(c.content));
  rename(Path("c.prn").c_str(), Path(claimC).c_str());
  rename(Path("d.prn").c_str(), Path(claimD).c_str());
  std::vector<std::string> told;
  EXPECT_TRUE(files_.SettleClaims(folder, &told));
  EXPECT_EQ(ListNames(), std::vector<std::string>{"d.prn"});
  ASSERT_EQ(told.size(), 2u);
}

}  // namespace
}  // namespace druvo
