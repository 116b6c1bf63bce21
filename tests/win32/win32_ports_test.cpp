// The Win32 folder and spooler, run under Wine.
#include "platform/win32/win32_ports.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "../unit/fakes.h"
#include "platform/win32/status_pipe.h"
#include "spool/spool_cycle.h"
#include "tray/service.h"

namespace druvo {
namespace {

class Win32PortsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char temp[MAX_PATH];
    GetTempPathA(sizeof temp, temp);
    dir_ = std::string(temp) + "druvo-test-" + std::to_string(GetCurrentProcessId()) + "-" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name();
    CreateDirectoryA(dir_.c_str(), nullptr);
  }
  void TearDown() override {
    WIN32_FIND_DATAA data;
    HANDLE h = FindFirstFileA((dir_ + "\\*").c_str(), &data);
    if (h != INVALID_HANDLE_VALUE) {
      do {
        const std::string path = dir_ + "\\" + data.cFileName;
        SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileA(path.c_str());
      } while (FindNextFileA(h, &data));
      FindClose(h);
    }
    RemoveDirectoryA(dir_.c_str());
  }
  std::string Path(const std::string& name) const { return dir_ + "\\" + name; }
  void Write(const std::string& name, const std::string& data) {
    UniqueFile f(CreateFileA(Path(name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_ARCHIVE, nullptr));
    DWORD written = 0;
    WriteFile(f.get(), data.data(), static_cast<DWORD>(data.size()), &written, nullptr);
  }
  // Collects with the real engine scan and returns the paths, oldest first.
  std::vector<std::string> Collect() {
    SpoolSettings settings;
    LoadDefaultSettings(settings, CommandLineRules::Windows);
    std::strcpy(settings.fileSource, (dir_ + "\\*.*").c_str());
    RecordList jobs = ListCreate();
    testing::FakeSpooler spooler;
    testing::FakeStatus status;
    testing::FakeTimer timer;
    SpoolEngine engine(settings, jobs, SpoolPorts{files_, spooler, NoJobTracking(), status, timer});
    engine.CollectJobs();
    SortJobsByWriteTime(jobs);
    std::vector<std::string> paths;
    for (void* p = ListFirst(jobs); p != nullptr; p = ListNext(p)) {
      paths.push_back(static_cast<JobRecord*>(p)->path);
    }
    ListDestroy(&jobs);
    return paths;
  }

  std::string dir_;
  Win32FileSystem files_;
};

TEST_F(Win32PortsTest, ReadOnlyAndHiddenFilesAreNotCollected) {
  Write("plain.prn", "p");
  Write("ro.prn", "r");
  Write("hidden.prn", "h");
  SetFileAttributesA(Path("ro.prn").c_str(), FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_READONLY);
  SetFileAttributesA(Path("hidden.prn").c_str(), FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_HIDDEN);
  CreateDirectoryA(Path("sub.prn").c_str(), nullptr);
  EXPECT_EQ(Collect(), (std::vector<std::string>{Path("plain.prn")}));
}

TEST_F(Win32PortsTest, SearchReportsSizeAndWriteTime) {
  Write("a.prn", "12345");
  FILETIME ft{0x12345678, 0x01D00000};
  {
    UniqueFile f(CreateFileA(Path("a.prn").c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr,
                             OPEN_EXISTING, 0, nullptr));
    SetFileTime(f.get(), nullptr, nullptr, &ft);
  }
  bool seen = false;
  EXPECT_TRUE(files_.Search(DropFolder::Of(dir_ + "\\*.PRN", '\\'), [&](const DirEntry& e) {
    seen = true;
    EXPECT_STREQ(e.name, "a.prn");
    EXPECT_EQ(e.size, 5u);
    EXPECT_EQ(e.writeTime, TicksFromFileTime(ft));
  }));
  EXPECT_TRUE(seen);
  // A missing folder is a failed search, not a crash or an empty success.
  EXPECT_FALSE(
      files_.Search(DropFolder::Of(dir_ + "\\missing\\*.*", '\\'), [](const DirEntry&) {}));
}

TEST_F(Win32PortsTest, OpenTellsNotReadyGoneAndOpened) {
  Write("busy.prn", "x");
  std::unique_ptr<InputFile> file;
  std::string error;
  {
    UniqueFile writer(CreateFileA(Path("busy.prn").c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, 0, nullptr));
    ASSERT_NE(writer.get(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(files_.Open(Path("busy.prn").c_str(), &file, &error), OpenOutcome::NotReady);
  }
  ASSERT_EQ(files_.Open(Path("busy.prn").c_str(), &file, &error), OpenOutcome::Opened);
  char buffer[8];
  EXPECT_EQ(file->Read(buffer, sizeof buffer, &error), 1);
  file.reset();
  EXPECT_TRUE(files_.Delete(Path("busy.prn").c_str()));
  EXPECT_EQ(files_.Open(Path("busy.prn").c_str(), &file, &error), OpenOutcome::Gone);
  EXPECT_EQ(files_.Open((dir_ + "\\nofolder\\x.prn").c_str(), &file, &error), OpenOutcome::Gone);
  EXPECT_FALSE(files_.Delete(Path("busy.prn").c_str()));
}

TEST_F(Win32PortsTest, NamesLongerThanSixtyThreeCharactersAreCollectedWhole) {
  const std::string name = std::string(120, 'n') + ".prn";
  Write(name, "long");
  const auto paths = Collect();
  ASSERT_EQ(paths.size(), 1u);
  EXPECT_EQ(paths[0], Path(name));
  std::unique_ptr<InputFile> file;
  std::string error;
  EXPECT_EQ(files_.Open(paths[0].c_str(), &file, &error), OpenOutcome::Opened);
}

TEST_F(Win32PortsTest, ALogWhoseOlderHalfIsHeldOpenStillStaysBounded) {
  Write("druvo.log", std::string(2 * Win32LogFile::kRotateBytes + 10, 'x'));
  Write("druvo.log.1", "old");
  // A viewer keeps druvo.log.1 open without letting it be replaced.
  UniqueFile viewer(CreateFileA(Path("druvo.log.1").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, 0, nullptr));
  Win32LogFile log(WideFromUtf8(dir_));
  ASSERT_TRUE(log.Write("a line"));
  WIN32_FILE_ATTRIBUTE_DATA info{};
  ASSERT_TRUE(GetFileAttributesExA(Path("druvo.log").c_str(), GetFileExInfoStandard, &info));
  EXPECT_LT(info.nFileSizeLow, 1000u);  // started again, not grown past 2 MB
}

TEST_F(Win32PortsTest, AStateFileLargerThanOneReadComesBackWhole) {
  Win32StateStore store(WideFromUtf8(dir_), L"state-big");
  std::string text = "druvo-state 3\n";
  while (text.size() < 20000)
    text += "undeletable 1 2 3 4 5 6 C:\\FPRI\\R" + std::to_string(text.size()) + "\n";
  ASSERT_TRUE(store.Save(text));
  std::string loaded;
  ASSERT_TRUE(store.Load(&loaded));
  EXPECT_EQ(loaded, text);
}

TEST_F(Win32PortsTest, APrintedFileIsDeletedByItsBytesWhateverItsTimeSays) {
  const auto read = [&](const std::string& name) {
    std::unique_ptr<InputFile> file;
    std::string error;
    EXPECT_EQ(files_.Open(Path(name).c_str(), &file, &error), OpenOutcome::Opened);
    FileIdentity id = file->Identity();
    EXPECT_TRUE(files_.DigestOf(Path(name).c_str(), &id.content));
    return id;
  };
  std::string error;
  // Stamped with another write time after it was read: still the one printed.
  Write("a.prn", "receipt a");
  const FileIdentity a = read("a.prn");
  {
    UniqueFile f(CreateFileA(Path("a.prn").c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr,
                             OPEN_EXISTING, 0, nullptr));
    FILETIME stamp{0x12345678u, 0x01D00000u};
    SetFileTime(f.get(), nullptr, nullptr, &stamp);
  }
  EXPECT_EQ(files_.DeleteIfSame(Path("a.prn").c_str(), a, &error), DeleteOutcome::Deleted);
  EXPECT_TRUE(Collect().empty());
  // Rewritten with other bytes of the same size: it stays, under its name.
  Write("b.prn", "receipt 1");
  const FileIdentity b = read("b.prn");
  Write("b.prn", "receipt 2");
  EXPECT_EQ(files_.DeleteIfSame(Path("b.prn").c_str(), b, &error), DeleteOutcome::Replaced);
  EXPECT_EQ(Collect(), std::vector<std::string>{Path("b.prn")});
  // A claim a crash left, of the printed bytes: deleted before any scan.
  char claim[64];
  std::snprintf(claim, sizeof claim, ".druvo-claim.%016llx.c.prn",
                static_cast<unsigned long long>(b.content));
  Write(claim, "receipt 1");
  std::vector<std::string> told;
  EXPECT_TRUE(files_.SettleClaims(DropFolder::Of(dir_ + "\\*.*", '\\'), &told));
  EXPECT_EQ(told.size(), 1u);
  EXPECT_EQ(Collect(), std::vector<std::string>{Path("b.prn")});
}

TEST_F(Win32PortsTest, PrinterThatDoesNotExistCannotBeOpened) {
  Win32Spooler spooler;
  OpResult r = spooler.OpenQueue("NO SUCH PRINTER 4711");
  EXPECT_FALSE(r);
  EXPECT_NE(r.error.find("OpenPrinterW"), std::string::npos);
  spooler.CloseQueue();
}

TEST(EventRecord, EachKindKeepsItsTypeAndTheIdItsMessageHas) {
  // The IDs as the message table in the exe numbers them: severity in the
  // top two bits, the event's own number below.
  const EventRecord paper = RecordOf({EventKind::PaperOut, "printer RACUN: paper out"}, "C:\\FPRI");
  EXPECT_EQ(paper.type, EVENTLOG_WARNING_TYPE);
  EXPECT_EQ(paper.id, 0x80000004u);
  EXPECT_EQ(paper.text, L"printer RACUN: paper out\r\nFolder: C:\\FPRI");
  const EventRecord started = RecordOf(StartedEvent("1.0", "RACUN", "C:\\FPRI\\*.*"), "C:\\FPRI");
  EXPECT_EQ(started.type, EVENTLOG_INFORMATION_TYPE);
  EXPECT_EQ(started.id, 0x40000001u);
  const EventRecord refused =
      RecordOf({EventKind::ConfigurationRefused, "configuration refused: \u010d"}, "C:\\x");
  EXPECT_EQ(refused.type, EVENTLOG_ERROR_TYPE);
  EXPECT_EQ(refused.id, 0xC0000008u);
  EXPECT_EQ(refused.text.find(L"\u010d"), 23u);  // UTF-8 in, UTF-16 out
}

TEST(StatusPipe, AnswersEachClientWholeAndKeepsThePipeItsOwn) {
  const std::string instance = "test-" + std::to_string(GetCurrentProcessId());
  const std::string big(100000, 'x');  // past the pipe's buffer, and past one read
  StatusPipeServer server;
  std::string why;
  ASSERT_TRUE(server.Start(
      instance,
      [&](char request, bool) { return request == 'b' ? big : std::string(1, request) + "\n"; },
      &why))
      << why;
  std::string answer;
  ASSERT_TRUE(AskStatusPipe(instance, 'j', &answer, 5000));
  EXPECT_EQ(answer, "j\n");
  ASSERT_TRUE(AskStatusPipe(instance, 'b', &answer, 5000));
  EXPECT_EQ(answer.size(), big.size());
  // A second Druvo of the same instance does not get the pipe.
  StatusPipeServer second;
  EXPECT_FALSE(second.Start(instance, [](char, bool) { return std::string(); }, &why));
  EXPECT_NE(why.find("another Druvo"), std::string::npos) << why;
  // A client that connects and says nothing gets text in the end, and holds
  // up the others for a moment only.
  UniqueFile silent(CreateFileW(StatusPipeName(instance).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(silent);
  ASSERT_TRUE(AskStatusPipe(instance, 'r', &answer, 5000));
  EXPECT_EQ(answer, "r\n");
  char text[8] = {};
  DWORD n = 0;
  EXPECT_NE(ReadFile(silent.get(), text, sizeof text, &n, nullptr), 0);
  EXPECT_EQ(std::string(text, n), "t\n");
  // Another instance has a pipe of its own; none answers once stopped.
  EXPECT_FALSE(AskStatusPipe(instance + "-other", 'j', &answer, 300));
  server.Stop();
  EXPECT_FALSE(AskStatusPipe(instance, 'j', &answer, 300));
}

TEST(ServiceCommandLine, KeepsTheLineAsWrittenButWhatSetsTheServiceUp) {
  EXPECT_EQ(ServiceCommandLine(L"C:\\P F\\druvo.exe",
                               L"\"C:\\P F\\druvo.exe\" --install-service=K \"--account=NT "
                               L"AUTHORITY\\LocalService\" --binary \"EPSON TM\" \"C:\\a b\\*.*\" "
                               L"TRUE",
                               "K"),
            L"\"C:\\P F\\druvo.exe\" --service=K --binary \"EPSON TM\" \"C:\\a b\\*.*\" TRUE");
  EXPECT_EQ(ServiceCommandLine(L"C:\\d.exe", L"d.exe  --INSTALL-SERVICE   R  C:\\x\\*.*", ""),
            L"\"C:\\d.exe\" --service R C:\\x\\*.*");
}

}  // namespace
}  // namespace druvo
