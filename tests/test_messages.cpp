// The message catalogue and the console dialogue: texts in both languages,
// the presentation styles, the values filled in from the run state, and the
// file-error report.
#include <algorithm>
#include <cstring>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "core/messages.h"
#include "cp932.h"
#include "sim_fixture.h"

namespace odf {
namespace {

using testing::FromCp932;
using testing::SimFixture;
using enum MessageCode;  // the tables below name many codes

const std::string kUnknown = "\r\nUnknow Message Code\r\n";

// ---- the catalogue itself ---------------------------------------------------

TEST(Catalogue, JapaneseBytesAreTheReadableTextsInCp932) {
  // Half-width katakana must stay single bytes: a full-width encoding would
  // decode to different characters and fail here.
  struct Case { int code; const char* utf8; };
  const Case cases[] = {
      {0, "\nﾄﾞﾗｲﾌﾞ情報の取得に失敗しました。"},
      {13, "\nﾒﾓﾘの割付に失敗しました。\u3000ﾌﾟﾛｸﾞﾗﾑを中断します。\n"},
      {28, "\r\nこのﾌﾟﾛｸﾞﾗﾑで利用可能なﾄﾞﾗｲﾌﾞがありません。"},
      {37, "\r\nｶｰﾈﾙﾓ-ﾄﾞ部分の機種型番が一致しません。"},
      {53, "\r\n対象のﾄﾞﾗｲﾌﾞの「挿入の自動通知」が有効になっています。\r\nｼｽﾃﾑのﾌﾟﾛﾊﾟﾃｨの中のﾃﾞﾊﾞｲｽﾏﾈｰｼﾞｬで\r\n"
           "対象のﾄﾞﾗｲﾌﾞの「挿入の自動通知」をOFFにして再起動した後に\r\n再度実行してください"},
      {59, "\r\nｺﾝﾋﾟｭｰﾀを再起動して下さい。\r\n(\"はい(Y)\"を選択するとPCを再起動します)"},
      {74, "\r\nHW切り替えに失敗しました！"},
      {82, "\r\n%.24s %.5s (20%.8s)のﾄﾞﾗｲﾌﾞを\r\n%.24s %.5s (20%.8s)にｱｯﾌﾟﾃﾞｰﾄしますか？"},
      {83, "\r\nファームウェアのバージョンが正しくありません。"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.code);
    ASSERT_NE(JapaneseText(c.code), nullptr);
    EXPECT_EQ(FromCp932(JapaneseText(c.code)), std::string(c.utf8));
  }
  // One byte per half-width katakana: "\r\n" + 2-byte kana x2 + 9 half-width.
  EXPECT_EQ(std::strncmp(JapaneseText(28), "\r\n\x82\xb1\x82\xcc\xcc\xdf\xdb\xb8\xde", 11), 0);
}

TEST(Catalogue, EnglishTextsByteForByte) {
  struct Case { int code; const char* text; };
  const Case cases[] = {
      {0, "\nFailed to get a drive information."},
      {13, "\nMemory allocation error.  Terminating program\n"},
      {36, "\r\nUpdate program is terminated by occuring an error.\r\n"},
      {53, "\r\n\"Auto insert notification\" is enabled at the target DVD-RW drive.\r\nPlease disable "
           "\"Auto insert notification\" by the Device Manager of System properties and reboot your "
           "PC.\r\nAfter that, re-exxecute this program."},
      {76, "\r\nFW of supporting DL+R is tried to be written to HW of not supporting DL+R.\r\n"
           "Do you continue to update ?"},
      {83, "\r\nFW is not leagl version."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.code);
    ASSERT_NE(EnglishText(c.code), nullptr);
    EXPECT_STREQ(EnglishText(c.code), c.text);
  }
}

TEST(Catalogue, EveryCodeHasBothTextsOrNeither) {
  const std::vector<int> silent = {18, 29, 38, 43, 62, 71, 79};
  // The two languages are formatted with the same argument list, so their
  // conversions must agree exactly, or a Japanese console would read the
  // wrong values (or crash).
  const std::regex conversion("%[-+ #0]*[0-9]*(\\.[0-9]+)?[a-zA-Z%]");
  auto conversions = [&](const std::string& text) {
    std::vector<std::string> found;
    for (std::sregex_iterator it(text.begin(), text.end(), conversion), end; it != end; ++it) {
      found.push_back(it->str());
    }
    return found;
  };
  for (int code = -2; code <= kMessageCount + 1; ++code) {
    SCOPED_TRACE(code);
    const bool textless = code < 0 || code >= kMessageCount ||
                          std::find(silent.begin(), silent.end(), code) != silent.end();
    if (textless) {
      EXPECT_EQ(EnglishText(code), nullptr);
      EXPECT_EQ(JapaneseText(code), nullptr);
      continue;
    }
    ASSERT_NE(EnglishText(code), nullptr);
    ASSERT_NE(JapaneseText(code), nullptr);
    EXPECT_TRUE(FromCp932(JapaneseText(code)).has_value()) << "not valid cp932";
    EXPECT_EQ(conversions(EnglishText(code)), conversions(JapaneseText(code)));
  }
}

// ---- ShowMessage: styles and languages -------------------------------------

class ShowMessageTest : public SimFixture {};

TEST_F(ShowMessageTest, StylesDecideConsoleBoxAndResult) {
  struct Case {
    const char* name;
    MessageCode code;
    MessageStyle style;
    std::optional<int> answer;  // queued for a question box
    bool console;               // text printed on the console
    std::optional<UINT> boxType;
    int result;
  };
  const auto unlisted = static_cast<MessageStyle>(5);
  const auto negative = static_cast<MessageStyle>(-3);
  const Case cases[] = {
      {"info notice", kNoTarget, NoticeInfo, std::nullopt, true, 0x40, IDOK},
      {"stop notice", kDriveInfoFailed, NoticeStop, std::nullopt, true, 0x10, IDOK},
      {"warning notice", kCanceledByUser, NoticeWarning, std::nullopt, true, 0x30, IDOK},
      {"yes/no answered yes", kAskRetryAfterNormalModeFailed, AskYesNo, IDYES, false, 0x24, IDYES},
      {"yes/no answered no", kAskRetryAfterNormalModeFailed, AskYesNo, IDNO, false, 0x24, IDNO},
      // A box that fails to show (MessageBoxA returns 0 or -1) must never
      // read as consent: "update?" is tested for No by its callers.
      {"yes/no box failed", kAskRetryAfterNormalModeFailed, AskYesNo, -1, false, 0x24, IDNO},
      {"yes/no box gave no answer", kAskRetryAfterNormalModeFailed, AskYesNo, 0, false, 0x24, IDNO},
      {"ok/cancel", kAskRetryAfterNormalModeFailed, AskOkCancel, IDCANCEL, false, 0x21, IDCANCEL},
      {"console only", kUpdateSucceeded, ConsoleOnly, std::nullopt, true, std::nullopt, 0},
      {"unlisted style is console only", kUpdateSucceeded, unlisted, std::nullopt, true,
       std::nullopt, 0},
      {"negative style is console only", kUpdateSucceeded, negative, std::nullopt, true,
       std::nullopt, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    sim::SimPc box;
    Context local(box);
    if (c.answer) box.QueueAnswer(*c.answer);
    EXPECT_EQ(ShowMessage(local, c.code, c.style), c.result);
    const std::string text = EnglishText(static_cast<int>(c.code));
    EXPECT_EQ(box.Console(), c.console ? text : "");
    if (!c.boxType) {
      EXPECT_TRUE(box.Boxes().empty());
      continue;
    }
    ASSERT_EQ(box.Boxes().size(), 1u);
    EXPECT_EQ(box.Boxes()[0].text, text);  // leading line breaks included
    EXPECT_EQ(box.Boxes()[0].caption, "ODFLSH");
    EXPECT_EQ(box.Boxes()[0].type, *c.boxType);
  }
}

TEST_F(ShowMessageTest, CodesWithoutTextShowTheUnknownCodeText) {
  for (UINT codePage : {437u, 932u}) {
    const auto beyond = static_cast<MessageCode>(kMessageCount);
    const auto negative = static_cast<MessageCode>(-1);
    for (MessageCode code : {kReserved18, kReserved62, kReserved71, kReserved79, beyond,
                             negative}) {
      SCOPED_TRACE(::testing::Message() << "code page " << codePage << ", code "
                                        << static_cast<int>(code));
      pc.ClearConsole();
      ctx.run.oemCodePage = codePage;
      EXPECT_EQ(ShowMessage(ctx, code, ConsoleOnly), 0);
      EXPECT_EQ(pc.Console(), kUnknown);
    }
  }
  // The style still applies.
  EXPECT_EQ(ShowMessage(ctx, kReserved43, NoticeInfo), IDOK);
  ASSERT_EQ(pc.Boxes().size(), 1u);
  EXPECT_EQ(pc.Boxes()[0].text, kUnknown);
}

TEST_F(ShowMessageTest, CodePage932SwitchesToJapaneseOnConsoleAndBox) {
  ctx.run.oemCodePage = 932;
  EXPECT_EQ(ShowMessage(ctx, kUpdateCompleted, NoticeInfo), IDOK);
  EXPECT_EQ(FromCp932(pc.Console()), std::string("\r\nｱｯﾌﾟﾃﾞｰﾄﾌﾟﾛｸﾞﾗﾑは完了しました。"));
  ASSERT_EQ(pc.Boxes().size(), 1u);
  EXPECT_EQ(pc.Boxes()[0].text, pc.Console());

  // Any other code page is English.
  for (UINT codePage : {0u, 437u, 850u, 936u}) {
    SCOPED_TRACE(codePage);
    pc.ClearConsole();
    ctx.run.oemCodePage = codePage;
    ShowMessage(ctx, kUpdateCompleted, ConsoleOnly);
    EXPECT_EQ(pc.Console(), "\r\nUpdate operation is completed.");
  }
}

// ---- values filled in from the run state -----------------------------------

class MessageArgumentsTest : public SimFixture {
 protected:
  void SetUp() override {
    std::memcpy(ctx.inquiry.data() + 8, "KESTREL BD-ROM  QBC-850 1.02 08/01/15", 37);
    std::memcpy(ctx.image.imageVersionText.data(), "1.04", 4);
    std::memcpy(ctx.matchedDefinition.fileName, "S1003431.104XYZ", 16);
    ctx.targets.targetCount = 3;
    ctx.run.currentTarget = 2;
    ctx.run.updatedCount = 2;
  }

  std::string Shown(MessageCode code, UINT codePage = 437) {
    pc.ClearConsole();
    ctx.run.oemCodePage = codePage;
    ShowMessage(ctx, code, ConsoleOnly);
    return codePage == 932 ? FromCp932(pc.Console()).value_or("<not cp932>") : pc.Console();
  }
};

TEST_F(MessageArgumentsTest, ValuesComeFromTheRunState) {
  struct Case { MessageCode code; UINT codePage; const char* expected; };
  const Case cases[] = {
      {kBinaryFileLoadFailed, 437, "\r\nFailed to load binary file.\r\n(File Name : S1003431.104)"},
      {kBinaryFileLoadFailed, 932, "\r\nﾊﾞｲﾅﾘﾌｧｲﾙの読み込みに失敗しました。\r\n(ファイル名 : S1003431.104)"},
      {kAskUpdateAllDrives, 437,
       "\r\n3 target device(s) is found.\r\nDo you want to update all drives ?"},
      {kAskUpdateDrive, 437, "\r\nDo you want to update ID=2 drive to Ver1.04 ?\r\n"
                             "Current FW : KESTREL BD-ROM  QBC-850  1.02"},
      {kStartingDevice, 437, "\r\nStart updating the device No.3."},
      {kStartingDevice, 932, "\r\n3台目のﾄﾞﾗｲﾌﾞのｱｯﾌﾟﾃﾞｰﾄを開始します。"},
      {kFirmwareAlreadyThisVersion, 437, "\nFW is already Ver1.04."},
      {kAskIrreversibleUpdate, 932,
       "\nﾌｧｰﾑｳｪｱをVer1.04にしてしまうと以前のﾊﾞｰｼﾞｮﾝには戻せなくなります。\r\n"
       "ﾊﾞｰｼﾞｮﾝｱｯﾌﾟを続行しますか？"},
      {kSomeDrivesUpdated, 437, "\r\n2drive(s) have been updated successfully."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << static_cast<int>(c.code) << " in " << c.codePage);
    EXPECT_EQ(Shown(c.code, c.codePage), c.expected);
  }
}

TEST_F(MessageArgumentsTest, DriveNumbersCountFromOneOnTheConsole) {
  ctx.run.currentTarget = 0;
  EXPECT_EQ(Shown(kStartingDevice), "\r\nStart updating the device No.1.");
  EXPECT_EQ(Shown(kAskUpdateDrive).substr(0, 29), "\r\nDo you want to update ID=0 ");
}

TEST_F(MessageArgumentsTest, QuestionEightyTwoShowsDriveAndImageFields) {
  // The image header's model, revision and date, each followed by bytes that
  // must not show.
  std::vector<std::uint8_t> image(0x200, 0);
  std::memcpy(image.data() + kHeaderModelName, "KESTREL BD-ROM  QBC-850 XXXX", 28);
  std::memcpy(image.data() + kHeaderRevision, "1.04 YY", 7);
  std::memcpy(image.data() + kHeaderDate, "08/03/21ZZ", 10);
  ctx.host.imageBuffer.data = image.data();
  ctx.host.imageBuffer.size = image.size();

  EXPECT_EQ(Shown(kAskUpdateFirmware), "\r\nDo you want to update the F/W\r\n"
                                       "From : KESTREL BD-ROM  QBC-850  1.02  (2008/01/15)\r\n"
                                       "To : KESTREL BD-ROM  QBC-850  1.04  (2008/03/21)");
  EXPECT_EQ(Shown(kAskUpdateFirmware, 932),
            "\r\nKESTREL BD-ROM  QBC-850  1.02  (2008/01/15)のﾄﾞﾗｲﾌﾞを\r\n"
            "KESTREL BD-ROM  QBC-850  1.04  (2008/03/21)にｱｯﾌﾟﾃﾞｰﾄしますか？");

  // Without an image the image's fields stay empty instead of reading
  // through a null pointer or past the buffer.
  ctx.host.imageBuffer.size = kHeaderDate + 7;
  EXPECT_EQ(Shown(kAskUpdateFirmware),
            "\r\nDo you want to update the F/W\r\n"
            "From : KESTREL BD-ROM  QBC-850  1.02  (2008/01/15)\r\nTo :   (20)");
  ctx.host.imageBuffer = SharedBuffer{};
  EXPECT_EQ(Shown(kAskUpdateFirmware),
            "\r\nDo you want to update the F/W\r\n"
            "From : KESTREL BD-ROM  QBC-850  1.02  (2008/01/15)\r\nTo :   (20)");
}

TEST_F(MessageArgumentsTest, QuestionThirtyOneGoesOnlyToTheBox) {
  pc.QueueAnswer(IDYES);
  EXPECT_EQ(ShowMessage(ctx, kAskUpdateAllDrives, AskYesNo), IDYES);
  EXPECT_EQ(pc.Console(), "");
  ASSERT_EQ(pc.Boxes().size(), 1u);
  EXPECT_EQ(pc.Boxes()[0].text,
            "\r\n3 target device(s) is found.\r\nDo you want to update all drives ?");
}

// ---- console text and the file-error report ---------------------------------

TEST_F(ShowMessageTest, ComposedTextGrowsAndReplacesThePrevious) {
  const std::string long_text(10000, 'x');
  ComposeText(ctx, "%s|%d", long_text.c_str(), 7);
  EXPECT_EQ(ctx.consoleText, long_text + "|7");
  EXPECT_EQ(pc.Console(), "");  // composing alone prints nothing

  PrintFormatted(ctx, "\rProcessing %d%%", 42);
  EXPECT_EQ(ctx.consoleText, "\rProcessing 42%");
  EXPECT_EQ(pc.Console(), "\rProcessing 42%");

  PrintText(ctx, "\r\nline");  // printing leaves consoleText alone
  EXPECT_EQ(ctx.consoleText, "\rProcessing 42%");
  EXPECT_EQ(pc.Console(), "\rProcessing 42%\r\nline");
}

TEST_F(ShowMessageTest, FileErrorTextsNameTheCauseInHex) {
  struct Case { int cause; const char* text; };
  const Case cases[] = {
      {1, "\r\nFile Exception Error 1 : Generic error occurred"},
      {2, "\r\nFile Exception Error 2 : File not found"},
      {10, "\r\nFile Exception Error a : Hardware I/O error"},
      {14, "\r\nFile Exception Error e : Reach to end of file"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.cause);
    pc.ClearConsole();
    ctx.run.oemCodePage = 932;  // English only, whatever the console
    ReportFileException(ctx, c.cause);
    EXPECT_EQ(ctx.consoleText, c.text);
    EXPECT_EQ(pc.Console(), c.text);
  }
}

TEST_F(ShowMessageTest, CausesOutsideTheTableLeaveEverythingAlone) {
  for (int cause : {0, 15, 26, -1}) {
    SCOPED_TRACE(cause);
    ctx.consoleText = "before";
    ReportFileException(ctx, cause);
    EXPECT_EQ(ctx.consoleText, "before");
    EXPECT_EQ(pc.Console(), "");
  }
}

}  // namespace
}  // namespace odf
