// The native Linux layer: locale to code page, the terminal's codeset, the
// cp932 conversion, the answers to questions, and the file and memory calls.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "core/messages.h"
#include "platform/posix_platform.h"

namespace odf::posix {
namespace {

// Message 28 in cp932 and in UTF-8.
const std::string kCp932 = JapaneseText(28);
const std::string kUtf8 = "\r\nこのﾌﾟﾛｸﾞﾗﾑで利用可能なﾄﾞﾗｲﾌﾞがありません。";

TEST(PosixLocale, FirstSetVariableDecides) {
  struct Case { const char* lcAll; const char* lcMessages; const char* lang; const char* expected; };
  const Case cases[] = {
      {"ja_JP.UTF-8", "C", "en_US.UTF-8", "ja_JP.UTF-8"},
      {nullptr, "ja_JP.eucJP", "C", "ja_JP.eucJP"},
      {"", "", "ja_JP.UTF-8", "ja_JP.UTF-8"},  // an empty variable counts as unset
      {"C", nullptr, "ja_JP.UTF-8", "C"},
      {nullptr, nullptr, nullptr, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.expected);
    EXPECT_EQ(EffectiveLocale(c.lcAll, c.lcMessages, c.lang), c.expected);
  }
}

TEST(PosixLocale, JapaneseLocalesGiveCodePage932) {
  struct Case { const char* locale; UINT codePage; bool utf8; };
  const Case cases[] = {
      {"ja_JP.UTF-8", 932, true},   {"ja_JP.utf8", 932, true},  {"ja_JP.eucJP", 932, false},
      {"ja_JP.SJIS", 932, false},   {"ja", 932, false},         {"C", 437, false},
      {"POSIX", 437, false},        {"", 437, false},           {"en_US.UTF-8", 437, true},
      {"C.UTF-8", 437, true},       {"de_DE.UTF-8@euro", 437, true},
      {"jv_ID.UTF-8", 437, true},   {"UTF-8", 437, false},      {"ja_JP.UTF-16", 932, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.locale);
    EXPECT_EQ(CodePageForLocale(c.locale), c.codePage);
    EXPECT_EQ(IsUtf8Codeset(c.locale), c.utf8);
  }
}

TEST(PosixConversion, Cp932BecomesUtf8) {
  EXPECT_EQ(Cp932ToUtf8(kCp932), kUtf8);
  // ASCII, including the bytes some Japanese tables map to yen and overline.
  const std::string ascii = "\n/// Ver2.27A \\ ~ 100%\r\n";
  EXPECT_EQ(Cp932ToUtf8(ascii), ascii);
  // Longer than one conversion chunk.
  std::string many, manyUtf8;
  for (int i = 0; i < 100; ++i) {
    many += kCp932;
    manyUtf8 += kUtf8;
  }
  EXPECT_EQ(Cp932ToUtf8(many), manyUtf8);
}

TEST(PosixConversion, BytesThatAreNotCp932PassThrough) {
  // A stray byte in the middle and a lead byte cut off at the end.
  EXPECT_EQ(Cp932ToUtf8("a\xff" "b"), "a\xff" "b");
  EXPECT_EQ(Cp932ToUtf8("ab\x82"), "ab\x82");
  EXPECT_EQ(Cp932ToUtf8("\xff" + kCp932), "\xff" + kUtf8);
}

TEST(PosixAnswers, OnlyAnExplicitYesSaysYes) {
  struct Case { UINT type; std::optional<std::string> line; int answer; };
  const Case cases[] = {
      {0x24, "y", IDYES},      {0x24, "Y", IDYES},     {0x24, "yes", IDYES},
      {0x24, " Yes \r", IDYES}, {0x24, "n", IDNO},     {0x24, "", IDNO},
      {0x24, "yep", IDNO},     {0x24, "ja", IDNO},     {0x24, std::nullopt, IDNO},
      {0x21, "y", IDOK},       {0x21, "no", IDCANCEL}, {0x21, std::nullopt, IDCANCEL},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line.value_or("<none>"));
    EXPECT_EQ(AnswerFromLine(c.type, c.line), c.answer);
  }
}

// A platform on temporary streams in place of the terminal.
class PosixConsoleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    in_ = std::tmpfile();
    out_ = std::tmpfile();
    err_ = std::tmpfile();
    ASSERT_NE(in_, nullptr);
    ASSERT_NE(out_, nullptr);
    ASSERT_NE(err_, nullptr);
  }
  void TearDown() override {
    std::fclose(in_);
    std::fclose(out_);
    std::fclose(err_);
  }
  std::unique_ptr<Platform> Make(bool interactive, UINT codePage = 437, bool utf8 = false) {
    return CreatePosixPlatform(ConsoleSetup{in_, out_, interactive, codePage, utf8, err_});
  }
  void Type(const std::string& text) {
    std::fputs(text.c_str(), in_);
    std::rewind(in_);
  }
  static std::string Written(std::FILE* stream) {
    std::fflush(stream);
    std::rewind(stream);
    std::string text;
    for (int c; (c = std::fgetc(stream)) != EOF;) text.push_back(static_cast<char>(c));
    return text;
  }
  std::string Output() { return Written(out_); }
  std::string Errors() { return Written(err_); }
  std::string Unread() {
    std::string text;
    for (int c; (c = std::fgetc(in_)) != EOF;) text.push_back(static_cast<char>(c));
    return text;
  }
  std::FILE* in_ = nullptr;
  std::FILE* out_ = nullptr;
  std::FILE* err_ = nullptr;
};

TEST_F(PosixConsoleTest, QuestionOnATerminalReadsOneLine) {
  Type("y\nn\n");
  auto platform = Make(true);
  EXPECT_EQ(platform->MessageBoxA(0, "\r\nGo ?", "ODFLSH", 0x24), IDYES);
  EXPECT_EQ(platform->MessageBoxA(0, "\r\nAgain ?", "ODFLSH", 0x24), IDNO);
  EXPECT_EQ(platform->MessageBoxA(0, "\r\nOnce more ?", "ODFLSH", 0x24), IDNO);  // end of input
  // The questions stay off standard output, which carries only the console.
  EXPECT_EQ(Errors(), "\r\nGo ? [y/n] \r\nAgain ? [y/n] \r\nOnce more ? [y/n] ");
  EXPECT_EQ(Output(), "");
}

TEST_F(PosixConsoleTest, WithoutATerminalEveryQuestionIsAnsweredNo) {
  Type("y\n");
  auto platform = Make(false);
  EXPECT_EQ(platform->MessageBoxA(0, "\r\nGo ?", "ODFLSH", 0x24), IDNO);
  EXPECT_EQ(platform->MessageBoxA(0, "\r\nGo ?", "ODFLSH", 0x21), IDCANCEL);
  EXPECT_EQ(Unread(), "y\n");  // the input was not consulted
  EXPECT_EQ(Errors(), "\r\nGo ? [y/n] n\n\r\nGo ? [y/n] n\n");
  EXPECT_EQ(Output(), "");
}

TEST_F(PosixConsoleTest, NoticesAreNotRepeated) {
  Type("n\n");
  auto platform = Make(true);
  for (UINT type : {0x10u, 0x30u, 0x40u}) {
    SCOPED_TRACE(type);
    EXPECT_EQ(platform->MessageBoxA(0, "\r\nDone.", "ODFLSH", type), IDOK);
  }
  EXPECT_EQ(Output(), "");
  EXPECT_EQ(Errors(), "");
  EXPECT_EQ(Unread(), "n\n");
}

TEST_F(PosixConsoleTest, JapaneseIsConvertedOnlyForAUtf8Terminal) {
  struct Case { UINT codePage; bool utf8; std::string expected; };
  const Case cases[] = {
      {932, true, kUtf8},
      {932, false, kCp932},  // e.g. a Shift JIS terminal
      {437, true, kCp932},   // English run: nothing to convert
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.codePage << " " << c.utf8);
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    auto platform = CreatePosixPlatform(ConsoleSetup{in_, out, false, c.codePage, c.utf8, err});
    EXPECT_EQ(platform->GetOEMCP(), c.codePage);
    platform->WriteConsole(kCp932);
    platform->MessageBoxA(0, kCp932.c_str(), "ODFLSH", 0x24);  // the question too
    EXPECT_EQ(Written(out), c.expected);
    EXPECT_EQ(Written(err), c.expected + " [y/n] n\n");
    std::fclose(out);
    std::fclose(err);
  }
}

class PosixFilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("odflsh-posix-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::string Write(const std::string& name, const std::string& bytes) {
    const auto path = (dir_ / name).string();
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
  }
  std::filesystem::path dir_;
  std::unique_ptr<Platform> platform_ = CreatePosixPlatform(ConsoleSetup{stdin, stdout});
};

TEST_F(PosixFilesTest, WholeFileReading) {
  const std::string bytes("\x00\x01\xff\r\nend", 8);
  const auto path = Write("image.bin", bytes);
  const HANDLE file = platform_->CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ,
                                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  DWORD high = 99;
  EXPECT_EQ(platform_->GetFileSize(file, &high), 8u);
  EXPECT_EQ(high, 0u);
  std::string buffer(16, '?');
  DWORD got = 0;
  EXPECT_EQ(platform_->ReadFile(file, buffer.data(), 16, &got), TRUE_);
  EXPECT_EQ(got, 8u);
  EXPECT_EQ(buffer.substr(0, 8), bytes);
  EXPECT_EQ(platform_->ReadFile(file, buffer.data(), 16, &got), TRUE_);  // at the end
  EXPECT_EQ(got, 0u);
  EXPECT_EQ(platform_->CloseHandle(file), TRUE_);
  EXPECT_EQ(platform_->CloseHandle(file), FALSE_);
  EXPECT_EQ(platform_->GetLastError(), ERROR_INVALID_HANDLE);
}

TEST_F(PosixFilesTest, LinesWithoutTheirEnds) {
  const auto path = Write("patch.hex", ":10\r\n:20\n\n:last");
  const HANDLE file = platform_->CreateFileA(path.c_str(), GENERIC_READ, 0, OPEN_EXISTING, 0);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  std::string line;
  const char* expected[] = {":10", ":20", "", ":last"};
  for (const char* text : expected) {
    SCOPED_TRACE(text);
    EXPECT_EQ(platform_->ReadTextLine(file, line), 1);
    EXPECT_EQ(line, text);
  }
  EXPECT_EQ(platform_->ReadTextLine(file, line), 0);
  platform_->CloseHandle(file);
  EXPECT_LT(platform_->ReadTextLine(file, line), 0);  // closed handle
}

TEST_F(PosixFilesTest, WhatCannotBeOpened) {
  Write("present", "x");
  // A FIFO nobody writes to would hold a plain open for ever.
  ASSERT_EQ(::mkfifo((dir_ / "fifo").c_str(), 0600), 0);
  struct Case { std::string path; DWORD access; DWORD error; };
  const Case cases[] = {
      // Device names that stand for no optical drive, whatever the host has.
      {"\\\\.\\C:", GENERIC_READ | GENERIC_WRITE, ERROR_FILE_NOT_FOUND},
      {"\\\\.\\PhysicalDrive0", GENERIC_READ, ERROR_FILE_NOT_FOUND},
      {(dir_ / "missing").string(), GENERIC_READ, ERROR_FILE_NOT_FOUND},
      {(dir_ / "present" / "below").string(), GENERIC_READ, ERROR_PATH_NOT_FOUND},
      {dir_.string(), GENERIC_READ, ERROR_ACCESS_DENIED},  // a directory
      {(dir_ / "fifo").string(), GENERIC_READ, ERROR_ACCESS_DENIED},
      {"/dev/null", GENERIC_READ, ERROR_ACCESS_DENIED},  // a device
      {(dir_ / "present").string(), GENERIC_WRITE, ERROR_ACCESS_DENIED},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(platform_->CreateFileA(c.path.c_str(), c.access, 0, OPEN_EXISTING, 0),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(platform_->GetLastError(), c.error);
  }
}

// Two platforms stand for two processes: each open has its own lock.
TEST_F(PosixFilesTest, AnExclusiveLockKeepsASecondOneOut) {
  const auto path = Write("drive", "x");
  auto other = CreatePosixPlatform(ConsoleSetup{stdin, stdout});
  const DWORD exclusive = LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY;
  const HANDLE mine = platform_->CreateFileA(path.c_str(), GENERIC_READ, 0, OPEN_EXISTING, 0);
  const HANDLE theirs = other->CreateFileA(path.c_str(), GENERIC_READ, 0, OPEN_EXISTING, 0);
  ASSERT_NE(mine, INVALID_HANDLE_VALUE);
  ASSERT_NE(theirs, INVALID_HANDLE_VALUE);

  EXPECT_EQ(platform_->LockFileEx(mine, exclusive), TRUE_);
  EXPECT_EQ(other->LockFileEx(theirs, exclusive), FALSE_);
  EXPECT_EQ(other->GetLastError(), ERROR_LOCK_VIOLATION);
  platform_->CloseHandle(mine);  // closing lets the lock go
  EXPECT_EQ(other->LockFileEx(theirs, exclusive), TRUE_);
  EXPECT_EQ(platform_->LockFileEx(mine, exclusive), FALSE_);
  EXPECT_EQ(platform_->GetLastError(), ERROR_INVALID_HANDLE);
}

TEST_F(PosixFilesTest, VersionMemoryRegistryAndAspi) {
  OSVERSIONINFOA info{};
  info.dwOSVersionInfoSize = sizeof info;
  ASSERT_EQ(platform_->GetVersionExA(&info), TRUE_);
  EXPECT_EQ(info.dwPlatformId, VER_PLATFORM_WIN32_NT);
  EXPECT_EQ(info.dwMajorVersion, 5u);
  EXPECT_EQ(info.dwMinorVersion, 1u);
  info.dwOSVersionInfoSize = 156;
  EXPECT_EQ(platform_->GetVersionExA(&info), FALSE_);

  const HGLOBAL mem = platform_->GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, 4096);
  ASSERT_NE(mem, 0u);
  auto* bytes = static_cast<std::uint8_t*>(platform_->GlobalLock(mem));
  ASSERT_NE(bytes, nullptr);
  EXPECT_EQ(std::count(bytes, bytes + 4096, 0), 4096);
  platform_->GlobalUnlock(mem);
  EXPECT_EQ(platform_->GlobalFree(mem), 0u);
  EXPECT_EQ(platform_->GlobalLock(mem), nullptr);  // freed
  EXPECT_EQ(platform_->GlobalFree(mem), mem);      // not twice

  HKEY key = 123;
  EXPECT_EQ(platform_->RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\INTEL", 0, KEY_READ, &key),
            static_cast<LONG>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(platform_->LoadLibraryA("WNASPI32.DLL"), 0u);
  EXPECT_EQ(platform_->timeBeginPeriod(1), TIMERR_NOERROR);
  EXPECT_EQ(platform_->timeEndPeriod(1), TIMERR_NOERROR);
}

}  // namespace
}  // namespace odf::posix
