// The drive revision readout: printed lines, derived values and model flags.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "core/context.h"
#include "core/definition.h"
#include "core/messages.h"
#include "sim/drives/sim_drive.h"
#include "sim/pc/sim_pc.h"
#include "sim_fixture.h"
#include "update/update.h"

namespace odf {
namespace {

sim::Qbc850Config Identity(const std::string& vendor, const std::string& product,
                           const std::string& revision, const std::string& date = "07/12/01") {
  sim::Qbc850Config c;
  c.vendor = vendor;
  c.product = product;
  c.revision = revision;
  c.date = date;
  return c;
}

// One drive as the current target, whether or not the definition would take
// it, on a PC set up by the real host checks: volume F, or target 2 of the
// ASPI route's adapter.
struct Bench {
  sim::SimPc pc;
  Context ctx{pc};
  std::shared_ptr<sim::Qbc850Drive> drive;

  explicit Bench(const sim::Qbc850Config& config, sim::SimRoute route = sim::SimRoute::PassThrough) {
    drive = std::make_shared<sim::Qbc850Drive>(config);
    const auto placed =
        sim::PcBuilder(route).Adapter("SIMADAPTER").Drive(drive, {.letter = 'F', .target = 2}).Build(pc);
    EXPECT_EQ(CheckHostEnvironment(ctx), kSetupDone);
    testing::UseTargets(ctx, placed);
    LoadBuiltInDefinition(ctx);
    ctx.matchedDefinition = ctx.definitions.entries[0];
  }

  // INQUIRY fails on the given occurrences (0: every one).
  void FailInquiry(const std::vector<int>& occurrences) {
    for (int n : occurrences) {
      sim::FaultRule rule;
      rule.opcode = 0x12;
      rule.occurrence = n;
      rule.key = 4;  // hardware error: no transport treats it as success
      rule.asc = 0x44;
      drive->AddFault(rule);
    }
  }

  std::vector<std::uint64_t> InquiryTimes() const {
    std::vector<std::uint64_t> times;
    for (const auto& r : drive->log) {
      if (r.cdb[0] == 0x12) times.push_back(r.atMs);
    }
    return times;
  }

  void Junk() {
    ctx.revision.firmwareDate = 0xDEADBEEF;
    ctx.revision.revisionNumber = 0x0777;
    ctx.revision.g6PatchNeeded = 1;
    ctx.revision.handshakeRequired = 1;
    ctx.revision.kernelUpdateRequired = 1;
    ctx.revision.alreadyLatest = 1;
  }
};

void ExpectAllCleared(const RevisionState& r) {
  EXPECT_EQ(r.firmwareDate, 0u);
  EXPECT_EQ(r.revisionNumber, 0);
  EXPECT_EQ(r.g6PatchNeeded, 0);
  EXPECT_EQ(r.handshakeRequired, 0);
  EXPECT_EQ(r.kernelUpdateRequired, 0);
  EXPECT_EQ(r.alreadyLatest, 0);
}

TEST(ReadRevision, CurrentLineAndDateInBothForms) {
  struct Case {
    std::string revision;
    std::string date;
    std::uint32_t firmwareDate;
    std::uint16_t revisionNumber;
    std::string printedDate;
  };
  const Case cases[] = {
      {"1.00", "07/12/01", 0x20071201, 0x0100, "07/12/01"},
      {"1.23", "99/12/31", 0x20991231, 0x0123, "99/12/31"},
      {"1.00", "2008/01/10", 0x20080110, 0x0100, "2008/01/10"},
      {"2.10", "1999/12/31", 0x19991231, 0x0210, "1999/12/31"},
      // A drive answering as its kernel carries no usable short date.
      {"0001", "07/12/01", 0, 0x0001, "07/12/01"},
      {"0001", "2008/01/10", 0x20080110, 0x0001, "2008/01/10"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.revision + " " + c.date);
    Bench b(Identity("KESTREL ", "BD-ROM  QBC-850 ", c.revision, c.date));
    b.Junk();
    EXPECT_EQ(ReadRevision(b.ctx, RevisionPhase::Current), 0);
    EXPECT_EQ(b.pc.Console(), "\nCurrent Revision>> KESTREL BD-ROM  QBC-850  " + c.revision +
                                  "  " + c.printedDate);
    EXPECT_EQ(b.ctx.revision.firmwareDate, c.firmwareDate);
    EXPECT_EQ(b.ctx.revision.revisionNumber, c.revisionNumber);
    EXPECT_EQ(b.ctx.revision.alreadyLatest, 0);
    EXPECT_TRUE(b.pc.Boxes().empty());
  }
}

TEST(ReadRevision, ModelTable) {
  struct Case {
    std::string vendor;
    std::string product;
    std::string revision;
    std::string signature;  // drive information 24..31
    std::int32_t updateScope;
    std::int32_t expertOverride;
    // Flags expected: K kernel update required, H handshake required,
    // L already latest, G G6 patch needed, M kernel mode.
    std::string flags;
    int result;
    int message;  // -1: none
  };
  const std::string K = "KESTREL ";
  const std::string T = "KES_ADV ";
  const Case cases[] = {
      // Kernel part too old for a normal-part-only update.
      {K, "DVD-RW  QRW-710 ", "1.28", T, 1, 0, "K", -1, 56},
      {K, "DVD-RW  QRW-710 ", "1.28", T, 0, 0, "K", 0, -1},
      {K, "DVD-RW  QRW-710A", "1.28", T, 1, 0, "K", -1, 56},  // 23 bytes compared
      {K, "DVD-RW  QRW-710 ", "1x28", T, 1, 0, "", 0, -1},
      {K, "DVD-RW  QRW-710 ", "1.29", T, 1, 0, "", 0, -1},
      {K, "DVD-RW  QRW-730 ", "1.09", T, 1, 0, "K", -1, 56},
      {K, "DVD-RW  QRW-730 ", "1.10", T, 1, 0, "", 0, -1},
      {"ARDN    ", "AR-W90Q         ", "1.09", T, 1, 0, "K", -1, 56},
      {"ARDN    ", "AR-W90Q        X", "1.09", T, 1, 0, "", 0, -1},  // 24 bytes compared
      {"ARDN    ", "AR-W90Q         ", "1.10", T, 1, 0, "", 0, -1},
      {"NOVA    ", "DVD-RW NRW-0917Q", "1.09", T, 1, 0, "K", -1, 56},
      {"NOVA    ", "DVD-RW NRW-0917Q", "1.10", T, 1, 0, "", 0, -1},
      // Update mode through the handshake.
      {K, "DVD-RW  QRW-710 ", "1.79", T, 1, 0, "", 0, -1},
      {K, "DVD-RW  QRW-710 ", "1.80", T, 1, 0, "H", 0, -1},
      {K, "DVD-RW  QRW-710 ", "2.00", T, 1, 0, "H", 0, -1},
      {K, "DVD-RW  QRW-720 ", "1.29", T, 1, 0, "", 0, -1},
      {K, "DVD-RW  QRW-720 ", "1.30", T, 1, 0, "H", 0, -1},
      {K, "DVD-RW  QRW-730 ", "1.21", T, 1, 0, "", 0, -1},
      {K, "DVD-RW  QRW-730 ", "1.22", T, 1, 0, "H", 0, -1},
      // Newer than anything this utility installs.
      {K, "DVD-RW  QRW-710 ", "2.01", T, 1, 0, "HL", -1, 55},
      {K, "DVD-RW  QRW-710 ", "2.01", T, 1, 1, "HL", 0, 55},
      {K, "DVD-RW  QRW-720 ", "1.41", T, 1, 0, "H", 0, -1},
      {K, "DVD-RW  QRW-720 ", "1.42", T, 1, 0, "HL", -1, 55},
      {K, "DVD-RW  QRW-720 ", "3.99", T, 1, 0, "HL", -1, 55},
      {K, "DVD-RW  QRW-720 ", "4.00", T, 1, 0, "H", 0, -1},
      {K, "DVD-RW  QRW-720 ", "4.20", "MIRO    ", 1, 0, "H", 0, -1},
      {K, "DVD-RW  QRW-720 ", "4.21", T, 1, 0, "H", 0, -1},
      {K, "DVD-RW  QRW-720 ", "4.21", "MIRO    ", 1, 0, "HL", -1, 55},
      {K, "DVD-RW  QRW-720 ", "4.21", "MIROLX  ", 1, 0, "HL", -1, 55},
      {K, "DVD-RW  QRW-730 ", "1.33", T, 1, 0, "H", 0, -1},
      {K, "DVD-RW  QRW-730 ", "1.34", T, 1, 0, "HL", -1, 55},
      // G6 patch, and DVD writers answering as their kernel.
      {K, "DVD-ROM QRD-570 ", "1.06", T, 1, 0, "G", 0, -1},
      {K, "DVD-ROM QRD-570 ", "1.05", T, 1, 0, "", 0, -1},
      {K, "DVD-ROM QRD-571 ", "1.06", T, 1, 0, "", 0, -1},
      {K, "DVD-RW  QRW-730 ", "0000", T, 1, 0, "M", 0, -1},
      {K, "DVD-RW  QRW-999 ", "0000", T, 1, 0, "M", 0, -1},
      {K, "DVD-ROM QRD-570 ", "0000", T, 1, 0, "", 0, -1},
      {K, "BD-ROM  QBC-850 ", "1.00", T, 1, 0, "", 0, -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.vendor + c.product + " " + c.revision + " " + c.signature);
    Bench b(Identity(c.vendor, c.product, c.revision));
    std::memcpy(b.ctx.driveInfo.data() + 24, c.signature.data(), 8);
    b.ctx.matchedDefinition.updateScope = c.updateScope;
    b.ctx.run.expertOverride = c.expertOverride;

    EXPECT_EQ(ReadRevision(b.ctx, RevisionPhase::Current), c.result);
    const RevisionState& r = b.ctx.revision;
    const auto has = [&](char flag) { return c.flags.find(flag) != std::string::npos ? 1 : 0; };
    EXPECT_EQ(r.kernelUpdateRequired, has('K'));
    EXPECT_EQ(r.handshakeRequired, has('H'));
    EXPECT_EQ(r.alreadyLatest, has('L'));
    EXPECT_EQ(r.g6PatchNeeded, has('G'));
    EXPECT_EQ(b.ctx.run.kernelMode, has('M'));
    // Refusals come after the revision line.
    const std::string line = "\nCurrent Revision>> " + c.vendor + c.product + " " + c.revision +
                             "  07/12/01";
    EXPECT_EQ(b.pc.Console(), line + (c.message < 0 ? "" : EnglishText(c.message)));
    EXPECT_TRUE(b.pc.Boxes().empty());
  }
}

TEST(ReadRevision, KernelRevisionGivesNumberZero) {
  Bench b(Identity("KESTREL ", "DVD-RW  QRW-730 ", "0000"));
  EXPECT_EQ(ReadRevision(b.ctx, RevisionPhase::Current), 0);
  EXPECT_EQ(b.ctx.revision.revisionNumber, 0);
  EXPECT_EQ(b.ctx.revision.firmwareDate, 0u);
  EXPECT_EQ(b.ctx.run.kernelMode, 1);
}

TEST(ReadRevision, NewPhaseOnlyPrintsWithItsDateWidth) {
  struct Case {
    std::string product;
    std::string date;
    std::string printedDate;
  };
  const Case cases[] = {
      {"DVD-RW  QRW-710 ", "08/01/10", "08/01/10"},
      {"DVD-RW  QRW-710 ", "2008/01/10", "2008/01/"},
      {"BD-ROM  QBC-850 ", "2008/01/10", "2008/01/10"},
      {"BD-ROM  QBC-850 ", "08/01/10", "08/01/10  "},
      {"DVD-ROM QRD-570 ", "08/01/10", "08/01/10  "},
      {"DVD-RW NRW-0917Q", "2008/01/10", "2008/01/"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.product + c.date);
    // A model and revision the current phase would refuse.
    Bench b(Identity("KESTREL ", c.product, "2.01", c.date));
    b.Junk();
    b.ctx.run.kernelMode = 0;
    EXPECT_EQ(ReadRevision(b.ctx, RevisionPhase::New), 0);
    EXPECT_EQ(b.pc.Console(), "\nNew Revision    >> KESTREL " + c.product + " 2.01  " +
                                  c.printedDate);
    ExpectAllCleared(b.ctx.revision);
    EXPECT_EQ(b.ctx.run.kernelMode, 0);
  }
}

TEST(ReadRevision, FamilyT880WaitsBeforeItsCountingInquiry) {
  struct Case {
    std::int32_t family;
    RevisionPhase phase;
    std::size_t inquiries;
  };
  const Case cases[] = {
      {0x1003, RevisionPhase::New, 2},
      {0x1003, RevisionPhase::Current, 1},
      {0x4003, RevisionPhase::New, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.family) + (c.phase == RevisionPhase::New ? " new" : " current"));
    Bench b(Identity("KESTREL ", "DVD-RW  QRW-T880", "1.00"));
    b.ctx.matchedDefinition.familyCode = c.family;
    // Only the second answer counts: the first fails, the second does not.
    if (c.inquiries == 2) b.FailInquiry({1});
    EXPECT_EQ(ReadRevision(b.ctx, c.phase), 0);
    const auto times = b.InquiryTimes();
    ASSERT_EQ(times.size(), c.inquiries);
    if (times.size() == 2) {
      EXPECT_GE(times[1] - times[0], 3000u);
    }
  }
}

TEST(ReadRevision, FailedInquiryIsReportedAndDerivesNothing) {
  for (auto phase : {RevisionPhase::Current, RevisionPhase::New}) {
    Bench b(Identity("KESTREL ", "BD-ROM  QBC-850 ", "1.00"));
    testing::SetIntelDriver(b.ctx, 2);  // retries belong to the ASPI route only
    b.FailInquiry({0});
    b.Junk();
    EXPECT_EQ(ReadRevision(b.ctx, phase), 2);
    EXPECT_EQ(b.pc.Console(), EnglishText(9));
    EXPECT_TRUE(b.pc.Boxes().empty());
    EXPECT_EQ(b.InquiryTimes().size(), 1u);
    ExpectAllCleared(b.ctx.revision);
  }
}

TEST(ReadRevision, AspiRetriesAfterTheUpdate) {
  struct Case {
    const char* name;
    std::int32_t family;
    std::int32_t intelDriverKind;
    RevisionPhase phase;
    std::vector<int> failures;
    std::size_t inquiries;
    bool succeeds;
  };
  const Case cases[] = {
      {"Intel driver, drive back after three tries", 0x4003, 1, RevisionPhase::New, {1, 2, 3}, 4,
       true},
      {"Intel driver, drive never back", 0x4003, 2, RevisionPhase::New, {0}, 7, false},
      {"T880, drive never back", 0x1003, 0, RevisionPhase::New, {0}, 8, false},
      {"T880, back at the last retry", 0x1003, 0, RevisionPhase::New, {1, 2, 3, 4, 5, 6, 7}, 8,
       true},
      {"no Intel driver", 0x4003, 0, RevisionPhase::New, {1}, 1, false},
      {"before the update", 0x4003, 1, RevisionPhase::Current, {1}, 1, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Bench b(Identity("KESTREL ", "BD-ROM  QBC-850 ", "1.04", "08/01/10"), sim::SimRoute::Aspi);
    testing::SetIntelDriver(b.ctx, c.intelDriverKind);
    b.ctx.matchedDefinition.familyCode = c.family;
    b.FailInquiry(c.failures);

    const int result = ReadRevision(b.ctx, c.phase);
    const auto times = b.InquiryTimes();
    ASSERT_EQ(times.size(), c.inquiries);
    for (std::size_t i = 1; i < times.size(); ++i) EXPECT_GE(times[i] - times[i - 1], 3000u);
    if (c.succeeds) {
      EXPECT_EQ(result, 0);
      EXPECT_EQ(b.pc.Console().rfind("\nNew Revision    >> KESTREL BD-ROM  QBC-850  1.04", 0), 0u);
    } else {
      EXPECT_NE(result, 0);
      EXPECT_EQ(b.pc.Console(), EnglishText(9));
    }
  }
}

}  // namespace
}  // namespace odf
