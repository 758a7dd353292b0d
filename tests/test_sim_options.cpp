// The odflsh-sim command line: parsing, drive placement, fault rules, and
// the simulated PC built from it.
#include <gtest/gtest.h>

#include "app/run_update.h"
#include "core/context.h"
#include "scsi/transport.h"
#include "sim/cli/sim_options.h"
#include "sim/cli/sim_report.h"
#include "sim/cli/sim_setup.h"

namespace odf::sim {
namespace {

ParseOutcome Parse(std::vector<std::string> args) { return ParseSimOptions(args); }

TEST(SimOptions, DefaultsWithoutArguments) {
  const ParseOutcome p = Parse({});
  ASSERT_TRUE(p.ok) << p.error;
  EXPECT_EQ(p.options.route, SimRoute::PassThrough);
  EXPECT_EQ(p.options.oemCodePage, 437u);
  EXPECT_TRUE(p.options.drives.empty());
  EXPECT_TRUE(p.options.answers.empty());
  EXPECT_FALSE(p.options.trace);
  EXPECT_TRUE(p.options.makeImage.empty());
}

TEST(SimOptions, DrivesWithoutPlaceTakeTheNextFreeOne) {
  struct Case {
    const char* name;
    std::vector<std::string> args;
    std::vector<std::string> places;  // letter, or adapter:target
  };
  const Case cases[] = {
      {"letters from D", {"--drive", "qbc850", "--drive", "qbc850"}, {"D", "E"}},
      {"explicit letter is skipped",
       {"--drive", "qbc850", "--drive", "qbc850,letter=d", "--drive", "qbc850"},
       {"E", "D", "F"}},
      {"aspi targets from 0", {"--route", "aspi", "--drive", "qbc850", "--drive", "qbc850"}, {"0:0", "0:1"}},
      {"aspi explicit target is skipped",
       {"--route=aspi", "--drive", "qbc850", "--drive", "qbc850,target=0", "--drive", "qbc850,adapter=1"},
       {"0:1", "0:0", "1:0"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const ParseOutcome p = Parse(c.args);
    ASSERT_TRUE(p.ok) << p.error;
    ASSERT_EQ(p.options.drives.size(), c.places.size());
    for (std::size_t i = 0; i < c.places.size(); ++i) {
      const DriveOption& d = p.options.drives[i];
      const std::string place = p.options.route == SimRoute::Aspi
                                    ? std::to_string(d.place.adapter) + ":" + std::to_string(d.place.target)
                                    : std::string(1, d.place.letter);
      EXPECT_EQ(place, c.places[i]) << "drive " << i;
    }
  }
}

TEST(SimOptions, DriveKeysFillTheModel) {
  const ParseOutcome p = Parse({"--drive",
                                "QBC850,rev=1.0,date=2007/12/01,hw=QBC 0200X,sig=KES,normal=QBC-850 extra,"
                                "disc=1,kernel=1,checksum=deadBEEF,ua=3,noaddr=1,letter=g,keepold=1"});
  ASSERT_TRUE(p.ok) << p.error;
  const DriveOption& d = p.options.drives.at(0);
  EXPECT_EQ(d.config.revision, "1.0 ");        // padded to 4
  EXPECT_EQ(d.config.date, "2007/12/01");
  EXPECT_EQ(d.config.hardware, "QBC 0200");    // cut to 8
  EXPECT_EQ(d.config.signature, "KES     ");
  EXPECT_EQ(d.config.normalName, "QBC-850 ");
  EXPECT_EQ(d.config.ready, ReadyState::DiscLoaded);
  EXPECT_TRUE(d.config.kernel);
  EXPECT_EQ(d.config.checksum, 0xDEADBEEFu);
  EXPECT_EQ(d.config.unitAttentions, 3);
  EXPECT_TRUE(d.config.keepsOldFirmware);
  EXPECT_TRUE(d.place.volume.noAddress);
  EXPECT_EQ(d.place.letter, 'G');

  struct ReadyCase {
    const char* value;
    ReadyState state;
  };
  for (const auto& c : {ReadyCase{"becoming", ReadyState::BecomingReady},
                        ReadyCase{"notready", ReadyState::NotReady0402}}) {
    SCOPED_TRACE(c.value);
    const ParseOutcome r = Parse({"--drive", std::string("qbc850,ready=") + c.value});
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.options.drives.at(0).config.ready, c.state);
  }
}

TEST(SimOptions, AnswersAndOtherOptions) {
  const ParseOutcome p =
      Parse({"--answers", "yes,n,Y,No", "--oemcp=932", "--trace", "--make-image", "x.bin", "--image-rev=1.05",
             "--image-date", "09/02/03"});
  ASSERT_TRUE(p.ok) << p.error;
  EXPECT_EQ(p.options.answers, (std::vector<int>{IDYES, IDNO, IDYES, IDNO}));
  EXPECT_EQ(p.options.oemCodePage, 932u);
  EXPECT_TRUE(p.options.trace);
  EXPECT_EQ(p.options.makeImage, "x.bin");
  EXPECT_EQ(p.options.imageFields.revision, "1.05 ");
  EXPECT_EQ(p.options.imageFields.date, "09/02/03");
}

TEST(SimOptions, HostKeys) {
  struct Case {
    std::vector<std::string> args;
    HostSetup host;
  };
  const Case cases[] = {
      {{"--route", "aspi", "--host", "intelata"}, {.intelAta = true}},
      {{"--host", "bridge=3", "--route", "aspi"}, {.bridgeAdapter = 3}},
      {{"--route", "aspi", "--host", "INTELATA,bridge=15"}, {.intelAta = true, .bridgeAdapter = 15}},
      {{"--host", "iaa", "--host=UltraAta"}, {.applicationAccelerator = true, .ultraAtaDriver = true}},
      {{"--route", "aspi", "--host", "abort=refuse"}, {.aspiAbort = AspiAbort::Refuse}},
      {{"--route", "aspi", "--host", "bridge=0,Abort=Ignore"}, {.bridgeAdapter = 0, .aspiAbort = AspiAbort::Ignore}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    const ParseOutcome p = Parse(c.args);
    ASSERT_TRUE(p.ok) << p.error;
    EXPECT_EQ(p.options.host.intelAta, c.host.intelAta);
    EXPECT_EQ(p.options.host.bridgeAdapter, c.host.bridgeAdapter);
    EXPECT_EQ(p.options.host.applicationAccelerator, c.host.applicationAccelerator);
    EXPECT_EQ(p.options.host.ultraAtaDriver, c.host.ultraAtaDriver);
    EXPECT_EQ(p.options.host.aspiAbort, c.host.aspiAbort);
  }
}

TEST(SimOptions, BadInputIsRefusedWithAReason) {
  struct Case {
    std::vector<std::string> args;
    const char* reason;  // part of the error text
  };
  std::vector<std::string> tooMany;
  for (int i = 0; i < 24; ++i) {
    tooMany.push_back("--drive");
    tooMany.push_back("qbc850");
  }
  const Case cases[] = {
      {{"--bogus"}, "unknown option '--bogus'"},
      {{"--route"}, "--route needs a value"},
      {{"--route", "scsi"}, "--route takes pt or aspi"},
      {{"--oemcp", "abc"}, "--oemcp"},
      {{"--answers", "yes,maybe"}, "'maybe'"},
      {{"--drive", "qbx999"}, "unknown drive model 'qbx999'"},
      {{"--drive", "qbc850,colour=red"}, "unknown drive key 'colour'"},
      {{"--drive", "qbc850,rev"}, "needs KEY=VALUE"},
      {{"--drive", "qbc850,date=7/12/1"}, "date="},
      {{"--drive", "qbc850,target=9"}, "target="},
      {{"--drive", "qbc850,ready=soon"}, "ready="},
      {{"--drive", "qbc850,ua=-1"}, "ua="},
      {{"--drive", "qbc850,keepold=2"}, "keepold="},
      {{"--drive", "qbc850,letter=E", "--drive", "qbc850,letter=e"}, "given twice"},
      {{"--route", "aspi", "--drive", "qbc850,target=2", "--drive", "qbc850,target=2"}, "given twice"},
      {tooMany, "no drive letter left"},
      {{"--trace=1"}, "--trace takes no value"},
      {{"--image-rev", "1.4"}, "--image-rev"},
      {{"--drive", "qbc850,fail=writebuf"}, "fail=writebuf"},
      {{"--host"}, "--host needs a value"},
      {{"--route", "aspi", "--host", "intelata,scsi"}, "not 'scsi'"},
      {{"--route", "aspi", "--host", "bridge=16"}, "not 'bridge=16'"},
      {{"--route", "aspi", "--host", "bridge"}, "not 'bridge'"},
      {{"--host", "intelata"}, "need the ASPI route"},
      {{"--host", "bridge=1"}, "need the ASPI route"},
      {{"--host", "abort=refuse"}, "needs the ASPI route"},
      {{"--route", "aspi", "--host", "abort=never"}, "not 'abort=never'"},
      {{"--route", "aspi", "--host", "intelata,bridge=0", "--drive", "qbc850"}, "cannot be both"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    const ParseOutcome p = Parse(c.args);
    EXPECT_FALSE(p.ok);
    EXPECT_NE(p.error.find(c.reason), std::string::npos) << p.error;
  }
}

TEST(SimOptions, FaultRules) {
  struct Case {
    const char* text;
    bool ok;
    std::uint8_t opcode = 0;
    int mode = -1, buffer = -1;  // -1: any
    int occurrence = 1;
    FaultAction action = FaultAction::Sense;
    std::uint8_t key = 0, asc = 0, ascq = 0;
    std::uint32_t replyLength = 0;
  };
  const Case cases[] = {
      {"writebuf/7/f0@3:4/44/0", true, 0x3B, 7, 0xF0, 3, FaultAction::Sense, 4, 0x44, 0},
      {"WriteBuf/0x05:6/29/00", true, 0x3B, 5, -1, 1, FaultAction::Sense, 6, 0x29, 0},
      {"tur@0:timeout", true, 0x00, -1, -1, 0, FaultAction::Timeout, 0, 0, 0},
      {"12@2:transport", true, 0x12, -1, -1, 2, FaultAction::TransportFail, 0, 0, 0},
      {"readbuf/2/f1:5/24/0", true, 0x3C, 2, 0xF1, 1, FaultAction::Sense, 5, 0x24, 0},
      {"inquiry@2:short=36", true, 0x12, -1, -1, 2, FaultAction::ShortReply, 0, 0, 0, 36},
      {"inquiry:short=", false},
      {"inquiry:short=65536", false},
      {"writebuf", false},
      {"writebuf:4/44", false},
      {"writebuf@x:4/44/0", false},
      {"writebuf/7/f0/1:4/44/0", false},
      {"writebuf:4/144/0", false},
      {"eject:2/4/1", false},
      {"writebuf:later", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    FaultRule rule;
    std::string error;
    ASSERT_EQ(ParseFaultRule(c.text, rule, error), c.ok) << error;
    if (!c.ok) {
      EXPECT_FALSE(error.empty());
      continue;
    }
    EXPECT_EQ(rule.opcode, c.opcode);
    EXPECT_EQ(rule.mode.has_value() ? *rule.mode : -1, c.mode);
    EXPECT_EQ(rule.bufferId.has_value() ? *rule.bufferId : -1, c.buffer);
    EXPECT_EQ(rule.occurrence, c.occurrence);
    EXPECT_EQ(rule.action, c.action);
    EXPECT_EQ(rule.key, c.key);
    EXPECT_EQ(rule.asc, c.asc);
    EXPECT_EQ(rule.ascq, c.ascq);
    EXPECT_EQ(rule.replyLength, c.replyLength);
  }
}

TEST(SimOptions, ReportLines) {
  CommandRecord r;
  r.cdb = {0x3B, 0x07, 0xF0, 0x00, 0x80, 0x00, 0x00, 0x80, 0x00, 0x00};
  r.cdbLength = 10;
  r.direction = 2;
  r.length = 0x8000;
  r.timeoutSeconds = 10;
  r.atMs = 12345;
  EXPECT_EQ(FormatCommand("D:", r),
            "cmd      12345 ms D:    3B 07 F0 00 80 00 00 80 00 00  out 32768  timeout 10 s\n");
  r.viaAspi = true;
  r.polled = true;
  EXPECT_EQ(FormatCommand("0:1", r),
            "cmd      12345 ms 0:1   3B 07 F0 00 80 00 00 80 00 00  out 32768  aspi polled\n");

  BoxRecord box;
  box.text = "\r\nSay \"hi\"\\\x01";
  box.type = MB_YESNO | MB_ICONQUESTION;
  box.answer = IDNO;
  EXPECT_EQ(FormatBox(box), "box AskYesNo \"\\r\\nSay \\\"hi\\\"\\\\\\x01\" -> No\n");
  box.type = MB_ICONEXCLAMATION;
  box.answer = IDOK;
  box.text = "x";
  EXPECT_EQ(FormatBox(box), "box NoticeWarning \"x\" -> OK\n");
}

// The PC built from the options carries the route, the code page, the
// answers and the drives where the options put them.
TEST(SimOptions, BuiltPcRunsTheUtility) {
  struct Case {
    std::vector<std::string> args;
    std::vector<std::string> labels;
    std::int32_t intelDriverKind = 0;
  };
  const Case cases[] = {
      {{"--drive", "qbc850,rev=1.04,date=08/01/10", "--drive", "qbc850,letter=F,rev=1.04,date=08/01/10"},
       {"D:", "F:"}},
      {{"--route", "aspi", "--drive", "qbc850,target=2,rev=1.04,date=08/01/10"}, {"0:2"}},
      {{"--route", "aspi", "--host", "intelata", "--drive", "qbc850,adapter=1,target=1,rev=1.04,date=08/01/10"},
       {"1:1"}, 1},
      {{"--host", "iaa", "--drive", "qbc850,rev=1.04,date=08/01/10"}, {"D:"}, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    std::vector<std::string> args = c.args;
    args.insert(args.end(), {"--oemcp", "850", "--answers", "no"});
    const ParseOutcome p = Parse(args);
    ASSERT_TRUE(p.ok) << p.error;
    SimPc pc;
    const auto drives = BuildSimPc(p.options, pc);
    ASSERT_EQ(drives.size(), c.labels.size());
    pc.AddFile("S1003431.104", MakeImage());
    Context ctx(pc);
    // Every drive already holds the image's version, so nothing is written.
    EXPECT_EQ(RunUpdate(ctx), 0);
    EXPECT_EQ(ctx.run.oemCodePage, 850u);
    EXPECT_EQ(RouteTraits(ctx).route, c.labels[0] == "D:" ? TransportRoute::PassThrough : TransportRoute::Aspi);
    EXPECT_EQ(ctx.targets.targetCount, static_cast<int>(c.labels.size()));
    EXPECT_EQ(RouteTraits(ctx).intelDriverKind, c.intelDriverKind);
    for (std::size_t i = 0; i < drives.size(); ++i) {
      EXPECT_EQ(drives[i].label, c.labels[i]);
      EXPECT_FALSE(drives[i].drive->log.empty()) << "drive " << i << " was never reached";
      const auto qbc = std::dynamic_pointer_cast<Qbc850Drive>(drives[i].drive);
      ASSERT_NE(qbc, nullptr);
      EXPECT_EQ(qbc->flashCount(), 0);
    }
    if (c.labels.size() > 1) {
      // The all-drives question took the one queued answer.
      ASSERT_FALSE(pc.Boxes().empty());
      EXPECT_EQ(pc.Boxes()[0].answer, IDNO);
    }
  }
}

}  // namespace
}  // namespace odf::sim
