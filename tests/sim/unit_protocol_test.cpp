// The simulated unit's side of the programming protocol, driven with raw records as
// the loader sends them: enquiry answers, programming blocks and their
// acknowledgements, the restart and what the new firmware reports.
#include <gtest/gtest.h>

#include <algorithm>

#include "tests/sim/sim_test_support.h"

namespace {

using namespace sim_test;

tools::ImageDescription Image(bool kernel, bool copy, std::uint8_t major, std::uint64_t seed) {
  tools::ImageDescription d;
  d.includeKernel = kernel;
  d.includeKernelCopy = copy;
  d.appSize = 0x2800;
  d.kernelSize = 0x2000;
  d.releaseType = 3;
  d.appVersion[0] = major;
  d.appVersion[1] = 3;
  d.appVersion[2] = 4;
  d.kernelVersion[0] = major;
  d.kernelVersion[1] = 0;
  d.kernelVersion[2] = 0;
  d.kernelVersion[3] = 7;
  d.seed = seed;
  return d;
}

std::uint32_t VersionWord(const tools::ImageDescription& d) {
  return (d.releaseType << 24) | (std::uint32_t{d.appVersion[0]} << 16) |
         (std::uint32_t{d.appVersion[1]} << 8) | d.appVersion[2];
}

std::uint32_t KernelWord(const tools::ImageDescription& d) {
  return (std::uint32_t{d.kernelVersion[0]} << 24) | (std::uint32_t{d.kernelVersion[1]} << 16) |
         (std::uint32_t{d.kernelVersion[2]} << 8) | d.kernelVersion[3];
}

std::vector<Record> BurstAnswers(std::uint32_t checksum, std::uint32_t status, std::uint32_t kernel,
                                 std::uint32_t version) {
  return {Reply(100, 1), Reply(109, checksum), Reply(102, status), Reply(111, kernel),
          Reply(101, version)};
}

// --- Enquiries -----------------------------------------------------------------------

struct EnquiryCase {
  const char* name;
  bool loadImage;
  bool kernel;
  sim::UnitOptions options;
  std::uint32_t corruptAt;  // 0: none; else a big-endian word in the image gets +1
  std::uint32_t status;     // expected status answer
};

sim::UnitOptions With(void (*change)(sim::UnitOptions&)) {
  sim::UnitOptions o;
  change(o);
  return o;
}

class EnquiryTest : public ::testing::TestWithParam<EnquiryCase> {};

TEST_P(EnquiryTest, BurstIsAnsweredInOrderFromTheFlash) {
  const EnquiryCase& c = GetParam();
  Host host(c.options);
  const tools::ImageDescription d = Image(c.kernel, c.kernel, 5, 77);
  Bytes image = BuildImage(d);
  const std::uint32_t stored = BigEndian32(image, 0x8004);
  if (c.corruptAt != 0) {
    const std::uint32_t word = BigEndian32(image, c.corruptAt) + 1;
    for (int i = 0; i < 4; ++i)
      image[c.corruptAt + i] = static_cast<std::uint8_t>(word >> (24 - 8 * i));
  }
  if (c.loadImage) host.unit.firmware().Load(image);

  host.Send(EnquiryBurst());
  EXPECT_TRUE(host.Receive().empty()) << "answers take time";
  host.AdvanceMs(1);

  std::uint32_t checksum = c.loadImage ? stored : 0;  // a changed stored value is not the sum
  if (c.options.cannotReprogram) checksum = 0xFFFFFFFE;
  std::uint32_t kernel = c.loadImage && c.kernel ? KernelWord(d) : 0xFFFFFFFF;
  if (c.options.reportNoKernel) kernel = 0xFFFFFFFF;
  const std::uint32_t version = c.loadImage ? VersionWord(d) : 0;
  EXPECT_EQ(host.Receive(), BurstAnswers(checksum, c.status, kernel, version));
  EXPECT_FALSE(host.PartialRecord());
}

INSTANTIATE_TEST_SUITE_P(
    Units, EnquiryTest,
    ::testing::Values(
        EnquiryCase{"KernelAndApplication", true, true, {}, 0, 1},
        EnquiryCase{"NoKernel", true, false, {}, 0, 1},
        EnquiryCase{"ErasedFlash", false, false, {}, 0, 0x200},
        EnquiryCase{"CannotReprogram", true, true,
                    With([](sim::UnitOptions& o) { o.cannotReprogram = true; }), 0, 1},
        EnquiryCase{"ReportNoKernel", true, true,
                    With([](sim::UnitOptions& o) { o.reportNoKernel = true; }), 0, 1},
        EnquiryCase{"SelfTestError", true, true,
                    With([](sim::UnitOptions& o) { o.selfTestError = 0x2C; }), 0, 0x2C},
        EnquiryCase{"StoredApplicationChecksumWrong", true, true, {}, 0x8004, 0x200},
        EnquiryCase{"StoredKernelChecksumWrong", true, true, {}, 0x1004, 0x200},
        EnquiryCase{"NoKernelChecksumWrong", true, false, {}, 0x8004, 0x200},
        EnquiryCase{"ChecksumFailureBeatsSelfTest", true, true,
                    With([](sim::UnitOptions& o) { o.selfTestError = 0x2C; }), 0x8004, 0x200}),
    sim_test::ByName());

TEST(EnquiryTest, UnknownNumbersAndFillersGetNoAnswer) {
  Host host;
  host.unit.firmware().Load(BuildImage(Image(true, false, 1, 1)));
  Bytes out = Filler();
  for (std::uint32_t n : {0u, 5u, 103u, 104u, 108u, 110u, 112u, 5000u}) Encode(out, kCommand, n);
  Encode(out, static_cast<std::uint16_t>(kCommand | (5 << 2)), 102);  // index not 0
  host.Send(out);
  host.AdvanceMs(50);
  EXPECT_TRUE(host.Receive().empty());
  EXPECT_EQ(host.unit.Status().ignoredRecords, 9u);
}

// --- Programming ---------------------------------------------------------------------

// Sends one block and checks its acknowledgement arrives exactly when due.
void SendBlockAndAwaitAck(Host& host, const Bytes& image, std::uint32_t address,
                          std::uint32_t ackAfterMs) {
  host.Send(Block(image, address));
  if (ackAfterMs > 0) {
    host.AdvanceMs(ackAfterMs - 1);
    ASSERT_TRUE(host.Receive().empty()) << "ack early for block " << std::hex << address;
  }
  host.AdvanceMs(1);
  ASSERT_EQ(host.Receive(), std::vector<Record>{Event(202)}) << std::hex << address;
  // The loader asks for status while it waits; a busy unit must not answer.
  host.Send(Command(102));
}

// Sends 203 and checks the unit stays silent for restartMs.
void FinishAndRestart(Host& host, std::uint32_t restartMs) {
  host.Send(Command(203));
  EXPECT_TRUE(host.unit.Status().restarting);
  for (std::uint32_t t = 0; t + 100 < restartMs; t += 100) {
    host.Send(Filler());
    host.Send(Command(102));
    host.AdvanceMs(100);
    ASSERT_TRUE(host.Receive().empty()) << "answer during restart at " << t + 100 << " ms";
  }
  host.AdvanceMs(restartMs % 100 == 0 ? 100 : restartMs % 100);
  EXPECT_FALSE(host.unit.Status().restarting);
}

TEST(ProgrammingTest, ApplicationOverAKernelThatStays) {
  Host host;
  const tools::ImageDescription oldDesc = Image(true, true, 1, 10);
  const tools::ImageDescription newDesc = Image(true, true, 2, 20);
  const Bytes oldImage = BuildImage(oldDesc);
  const Bytes newImage = BuildImage(newDesc);
  host.unit.firmware().Load(oldImage);

  Bytes begin = Filler();
  Encode(begin, kCommand, 201);
  host.Send(begin);
  EXPECT_TRUE(host.unit.Status().programming);
  host.Send(EnquiryBurst());
  host.AdvanceMs(20);
  EXPECT_TRUE(host.Receive().empty()) << "enquiries answered while programming";

  const std::vector<std::uint32_t> blocks = UsedBlocks(newImage, 0x8000);
  ASSERT_GT(blocks.size(), 80u);
  for (std::uint32_t address : blocks) {
    SendBlockAndAwaitAck(host, newImage, address, 2);
    if (HasFatalFailure()) return;
  }
  host.AdvanceMs(50);
  EXPECT_TRUE(host.Receive().empty()) << "the enquiries sent between blocks were answered";
  EXPECT_EQ(host.unit.Status().programmedBlocks, blocks.size());
  // Until the restart the unit still reports the firmware it ran.
  EXPECT_EQ(host.unit.Status().firmware, "Beta Test 1.3.4");

  FinishAndRestart(host, 500);
  // The new firmware runs: the kernel is there, so it announces itself once.
  const std::vector<Record> boot = host.Receive();
  ASSERT_FALSE(boot.empty());
  EXPECT_EQ(boot.front(), Event(11));
  EXPECT_EQ(boot.size(), 1u);
  host.Send(Command(10));

  host.Send(EnquiryBurst());
  host.AdvanceMs(1);
  EXPECT_EQ(host.Receive(), BurstAnswers(BigEndian32(newImage, 0x8004), 1, KernelWord(oldDesc),
                                         VersionWord(newDesc)));
  const sim::UsbUnit::Report report = host.unit.Status();
  EXPECT_EQ(report.firmware, "Beta Test 2.3.4");
  EXPECT_EQ(report.status, 1);
  EXPECT_EQ(report.kernelHandshakes, 1u);
  EXPECT_EQ(report.compileDate, "Oct 10 2008");
  EXPECT_FALSE(report.programming);

  const Bytes& flash = host.unit.firmware().flash();
  EXPECT_TRUE(std::equal(flash.begin(), flash.begin() + 0x8000, oldImage.begin()));
  EXPECT_TRUE(std::equal(flash.begin() + 0x8000, flash.end(), newImage.begin() + 0x8000));
}

TEST(ProgrammingTest, WholeFlashWithoutKernel) {
  Host host;
  host.unit.firmware().Load(BuildImage(Image(true, true, 1, 10)));
  const tools::ImageDescription desc = Image(false, false, 6, 30);
  const Bytes image = BuildImage(desc);

  host.Send(Command(201));
  for (std::uint32_t address : UsedBlocks(image, 0)) {
    SendBlockAndAwaitAck(host, image, address, 2);
    if (HasFatalFailure()) return;
  }
  FinishAndRestart(host, 500);
  host.Send(EnquiryBurst());
  host.AdvanceMs(1);
  // No kernel: no event 11 before the answers.
  EXPECT_EQ(host.Receive(),
            BurstAnswers(BigEndian32(image, 0x8004), 1, 0xFFFFFFFF, VersionWord(desc)));
  EXPECT_EQ(host.unit.firmware().flash(), image);
}

struct OutcomeCase {
  const char* name;
  std::uint32_t selfTestError;
  bool corrupt;
  std::uint32_t status;
};

class ProgrammingOutcomeTest : public ::testing::TestWithParam<OutcomeCase> {};

TEST_P(ProgrammingOutcomeTest, StatusAfterRestartComesFromWhatWasWritten) {
  sim::UnitOptions options;
  options.selfTestError = GetParam().selfTestError;
  Host host(options);
  const Bytes image = BuildImage(Image(true, false, 3, 40));
  Bytes sent = image;
  if (GetParam().corrupt) sent[0x8400] ^= 0x40;  // changed on its way to the unit

  host.Send(Command(201));
  for (std::uint32_t address : UsedBlocks(image, 0)) {
    SendBlockAndAwaitAck(host, sent, address, 2);
    if (HasFatalFailure()) return;
  }
  FinishAndRestart(host, 500);
  host.Receive();  // event 11
  host.Send(Command(102));
  host.AdvanceMs(1);
  EXPECT_EQ(host.Receive(), std::vector<Record>{Reply(102, GetParam().status)});
}

INSTANTIATE_TEST_SUITE_P(Outcomes, ProgrammingOutcomeTest,
                         ::testing::Values(OutcomeCase{"Sound", 0, false, 1},
                                           OutcomeCase{"Corrupted", 0, true, 0x200},
                                           OutcomeCase{"SelfTestError", 0x2C, false, 0x2C},
                                           OutcomeCase{"CorruptedWithSelfTest", 0x2C, true, 0x200}),
                         sim_test::ByName());

class AckDelayTest : public ::testing::TestWithParam<std::uint32_t> {};

TEST_P(AckDelayTest, AcknowledgementDueAfterProcessingAndDelay) {
  sim::UnitOptions options;
  options.ackDelayMs = GetParam();
  Host host(options);
  const Bytes image = BuildImage(Image(true, false, 3, 50));
  host.Send(Command(201));
  const std::vector<std::uint32_t> blocks = UsedBlocks(image, 0x8000);
  for (std::size_t i = 0; i < 3; ++i) {
    SendBlockAndAwaitAck(host, image, blocks[i], 2 + GetParam());
    if (HasFatalFailure()) return;
  }
  // However long it took, the unit was busy meanwhile: the loader's wait is no silence.
  EXPECT_TRUE(host.unit.Status().programming);
}

// 5 s: a unit slower than the loader's silence allowance.
INSTANTIATE_TEST_SUITE_P(Delays, AckDelayTest, ::testing::Values(0u, 30u, 250u, 5000u));

class RestartTest : public ::testing::TestWithParam<std::uint32_t> {};

TEST_P(RestartTest, SilentForRestartTimeThenKernelEvent) {
  sim::UnitOptions options;
  options.restartMs = GetParam();
  Host host(options);
  host.unit.firmware().Load(BuildImage(Image(true, false, 3, 60)));
  host.Send(Command(201));
  host.Send(Command(203));
  host.Send(Command(102));
  host.AdvanceMs(GetParam() - 1);
  EXPECT_TRUE(host.Receive().empty());
  EXPECT_TRUE(host.unit.Status().restarting);
  host.AdvanceMs(1);
  EXPECT_EQ(host.Receive(), std::vector<Record>{Event(11)});
  // The enquiry sent during the restart was lost; one sent now is answered. Command
  // 201 erased the application and no block followed: a checksum failure.
  host.Send(Command(102));
  host.AdvanceMs(1);
  EXPECT_EQ(host.Receive(), std::vector<Record>{Reply(102, 0x200)});
}

INSTANTIATE_TEST_SUITE_P(Times, RestartTest, ::testing::Values(20u, 500u, 3000u));

TEST(ProgrammingTest, RecordsOutOfPlaceAreIgnored) {
  Host host;
  const Bytes image = BuildImage(Image(true, false, 3, 70));
  host.unit.firmware().Load(image);
  const Bytes before = host.unit.firmware().flash();

  // Outside programming: blocks, data and 203 change nothing.
  host.Send(Block(image, 0x8000));
  host.Send(Command(203));
  host.AdvanceMs(10);
  EXPECT_TRUE(host.Receive().empty());
  EXPECT_EQ(host.unit.firmware().flash(), before);
  EXPECT_FALSE(host.unit.Status().restarting);
  EXPECT_EQ(host.unit.Status().ignoredRecords, 34u);

  host.Send(Command(201));
  const std::uint32_t ignoredBefore = host.unit.Status().ignoredRecords;
  Bytes bad;
  Encode(bad, kData, 0x11111111);  // data before any address
  Encode(bad, kAddress, 0x8040);   // not a block address
  for (int i = 0; i < 32; ++i) Encode(bad, kData, 0x22222222);
  Encode(bad, kAddress, 0x40000);  // beyond the flash
  for (int i = 0; i < 32; ++i) Encode(bad, kData, 0x33333333);
  Encode(bad, kAddress, 0x9000);  // abandoned after 5 words
  for (int i = 0; i < 5; ++i) Encode(bad, kData, 0x44444444);
  host.Send(bad);
  host.Send(Block(image, 0x8000));  // a good block still works
  host.AdvanceMs(2);
  EXPECT_EQ(host.Receive(), std::vector<Record>{Event(202)});
  EXPECT_EQ(host.unit.Status().programmedBlocks, 1u);
  EXPECT_EQ(host.unit.Status().ignoredRecords, ignoredBefore + 1 + 1 + 32 + 1 + 32 + 1);
  EXPECT_EQ(host.unit.firmware().flash()[0x9000], 0xFF);
  EXPECT_EQ(host.unit.firmware().flash()[0x8040], image[0x8040]);
}

TEST(ProgrammingTest, KernelHandshakeCountedAnyTime) {
  Host host;
  host.Send(Command(10));
  host.Send(Command(201));
  host.Send(Command(10));
  EXPECT_EQ(host.unit.Status().kernelHandshakes, 2u);
  host.AdvanceMs(10);
  EXPECT_TRUE(host.Receive().empty());
}

// --- A loader that goes away mid-programming ------------------------------------------

TEST(FallbackTest, ASilentLoaderLeavesTheUnitOnItsKernelReadyForTheNextRun) {
  Host host;
  const tools::ImageDescription oldDesc = Image(true, true, 1, 10);
  const tools::ImageDescription newDesc = Image(true, true, 2, 20);
  host.unit.firmware().Load(BuildImage(oldDesc));
  const Bytes newImage = BuildImage(newDesc);
  const std::vector<std::uint32_t> blocks = UsedBlocks(newImage, 0x8000);

  host.Send(Command(201));
  for (std::size_t i = 0; i < 3; ++i) {
    SendBlockAndAwaitAck(host, newImage, blocks[i], 2);
    if (HasFatalFailure()) return;
  }
  // The loader is gone; a new one searches with a burst every 500 ms. Unanswered,
  // the bursts must not keep the unit waiting for the old one.
  const std::int64_t silence = sim::kLoaderSilenceMs;
  for (std::int64_t waited = 0; waited < silence - 1; waited += 500) {
    host.Send(EnquiryBurst());
    host.AdvanceMs(std::min<std::int64_t>(500, silence - 1 - waited));
  }
  EXPECT_TRUE(host.Receive().empty());
  EXPECT_TRUE(host.unit.Status().programming);
  host.AdvanceMs(1);
  EXPECT_FALSE(host.unit.Status().programming);

  // It runs what the flash holds: the new application's first blocks over the old
  // kernel, which fail the checksum.
  for (std::uint32_t enquiry : {102u, 101u, 111u}) host.Send(Command(enquiry));
  host.AdvanceMs(1);
  EXPECT_EQ(host.Receive(),
            (std::vector<Record>{Reply(102, 0x200), Reply(101, VersionWord(newDesc)),
                                 Reply(111, KernelWord(oldDesc))}));
  EXPECT_EQ(host.unit.Status().status, 0x200);

  // The next run programs it as any other.
  host.Send(Command(201));
  for (std::uint32_t address : blocks) {
    SendBlockAndAwaitAck(host, newImage, address, 2);
    if (HasFatalFailure()) return;
  }
  FinishAndRestart(host, 500);
  EXPECT_EQ(host.Receive(), std::vector<Record>{Event(11)});
  host.Send(Command(102));
  host.AdvanceMs(1);
  EXPECT_EQ(host.Receive(), std::vector<Record>{Reply(102, 1)});
  EXPECT_EQ(host.unit.Status().firmware, "Beta Test 2.3.4");
}

TEST(ProgrammingTest, BeginAgainRestartsTheCount) {
  Host host;
  const Bytes image = BuildImage(Image(true, false, 3, 80));
  host.Send(Command(201));
  SendBlockAndAwaitAck(host, image, 0x8000, 2);
  SendBlockAndAwaitAck(host, image, 0x8080, 2);
  EXPECT_EQ(host.unit.Status().programmedBlocks, 2u);
  host.Send(Command(201));
  EXPECT_EQ(host.unit.Status().programmedBlocks, 0u);
  EXPECT_EQ(host.unit.firmware().flash()[0x8000], 0xFF) << "application area erased";
}

}  // namespace
