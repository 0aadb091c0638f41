// Barcode escrow and ticket printing over a test block, the unit's side of the
// message channel played by the test. Offsets are the layout's, written out here.
#include "interface/barcode.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "tests/interface/unit_block.h"

namespace {

using namespace qmx_test;

constexpr std::uint32_t kEscrowBarcode = 896;
constexpr std::uint32_t kEscrowCount = 916;
constexpr std::uint32_t kStackedCount = 920;
constexpr std::uint32_t kStackedBarcode = 924;
constexpr std::uint32_t kPrinterStatus = 944;
constexpr std::uint32_t kBarcodeEnabled = 1396;
constexpr std::uint32_t kAcceptCount = 1400;
constexpr std::uint32_t kReturnCount = 1404;

constexpr const char* kTicket89 =
    "^C||^^P|250|1|||||12-3456-7890-1234-5678|12-3456-7890-1234-5678||||||"
    "123456789012345678|^";

class Barcode : public OpenBlock {
 protected:
  // Calls BarcodePrintStatus until it no longer answers "sending", the unit taking
  // every piece: the pieces' offsets into the text and the text they carried.
  std::int32_t PrintToTheEnd(std::vector<std::string>* pieces, int rounds = 100) {
    std::int32_t status = qmx::kPrintSending;
    for (int round = 0; round < rounds && status == qmx::kPrintSending; ++round) {
      Message message;
      if (AnswerMessage(1, &message)) {
        EXPECT_EQ(message.type, 6u);
        EXPECT_EQ(message.length, 32u);
        pieces->emplace_back(message.data.begin(), message.data.end());
      }
      status = qmx::BarcodePrintStatus(library_);
    }
    return status;
  }
  // What a unit reassembles: each piece's bytes up to the first zero.
  static std::string Printed(const std::vector<std::string>& pieces) {
    std::string text;
    for (const std::string& piece : pieces) text += piece.substr(0, piece.find('\0'));
    return text;
  }
};

TEST_F(Barcode, PrintCommandText) {
  struct Case {
    QmxTicket ticket;
    const char* text;  // null: refused
  };
  const std::string tooLong(QMX_TICKET_TEXT_MAX + 1, 'x');
  const std::string longest(QMX_TICKET_TEXT_MAX, 'y');
  const Case cases[] = {
      {{250, "123456789012345678", nullptr, nullptr, nullptr, nullptr, nullptr}, kTicket89},
      {{-7, "123456789012345678ZZ", "one", "two", "three", "four", "five"},
       "^C||^^P|-7|1|||||12-3456-7890-1234-5678|12-3456-7890-1234-5678|four|five|one|two|three|"
       "123456789012345678ZZ|^"},
      // Shorter barcodes are grouped as far as they go.
      {{1, "1234567", nullptr, nullptr, nullptr, nullptr, nullptr},
       "^C||^^P|1|1|||||12-3456-7|12-3456-7||||||1234567|^"},
      {{0, "", nullptr, nullptr, nullptr, nullptr, nullptr}, "^C||^^P|0|1|||||||||||||^"},
      {{0, nullptr, "a", nullptr, nullptr, nullptr, nullptr}, nullptr},
      {{0, "12", tooLong.c_str(), nullptr, nullptr, nullptr, nullptr}, nullptr},
      {{0, tooLong.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr}, nullptr},
  };
  for (const Case& test : cases) {
    std::string text;
    EXPECT_EQ(qmx::PrintCommandText(test.ticket, &text), test.text != nullptr);
    if (test.text != nullptr) {
      EXPECT_EQ(text, test.text);
    }
  }
  std::string text;
  // The whole ticket is bounded by what the printer takes, not only each text: five
  // longest texts are too much, and QMX_TICKET_MAX characters in all the most.
  const QmxTicket full{0, "1", longest.c_str(), longest.c_str(), longest.c_str(),
                       longest.c_str(), longest.c_str()};
  EXPECT_FALSE(qmx::PrintCommandText(full, &text));
  ASSERT_TRUE(qmx::PrintCommandText({0, "1", nullptr, nullptr, nullptr, nullptr, nullptr}, &text));
  const std::size_t rest = QMX_TICKET_MAX - text.size() - 3 * QMX_TICKET_TEXT_MAX;
  for (const std::size_t extra : {std::size_t{0}, std::size_t{1}}) {
    const std::string last(rest + extra, 'z');
    const QmxTicket edge{0, "1", longest.c_str(), longest.c_str(), longest.c_str(), last.c_str(),
                         nullptr};
    EXPECT_EQ(qmx::PrintCommandText(edge, &text), extra == 0) << extra;
    if (extra == 0) {
      EXPECT_EQ(text.size(), std::size_t{QMX_TICKET_MAX});
    }
  }
  // A barcode of 5 characters in memory of exactly that size: nothing past its end
  // is read (AddressSanitizer watches the heap copy).
  auto exact = std::make_unique<char[]>(6);
  std::memcpy(exact.get(), "98765", 6);
  EXPECT_TRUE(qmx::PrintCommandText({3, exact.get(), nullptr, nullptr, nullptr, nullptr, nullptr},
                                    &text));
  EXPECT_EQ(text, "^C||^^P|3|1|||||98-765|98-765||||||98765|^");
}

TEST_F(Barcode, TicketsGoOutInPiecesOfThirtyTwo) {
  Open(5);
  SetStatus(kPrinterStatus, 1);
  const QmxTicket ticket{250, "123456789012345678", nullptr, nullptr, nullptr, nullptr, nullptr};
  ASSERT_NE(qmx::BarcodePrint(library_, &ticket), 0);
  EXPECT_EQ(qmx::BarcodePrint(library_, &ticket), 0) << "a print is under way";
  std::vector<std::string> pieces;
  EXPECT_EQ(PrintToTheEnd(&pieces), 1);
  ASSERT_EQ(pieces.size(), 3u) << "89 characters: pieces at 0, 32 and 64";
  EXPECT_EQ(Printed(pieces), kTicket89);

  // 96 characters, a multiple of 32: a fourth piece begins at the zero.
  const std::string texts(7, 'T');  // 89 + 7
  const QmxTicket even{250, "123456789012345678", texts.c_str(), nullptr, nullptr, nullptr,
                       nullptr};
  std::string text;
  ASSERT_TRUE(qmx::PrintCommandText(even, &text));
  ASSERT_EQ(text.size(), 96u);
  ASSERT_NE(qmx::BarcodePrint(library_, &even), 0);
  pieces.clear();
  EXPECT_EQ(PrintToTheEnd(&pieces), 1);
  ASSERT_EQ(pieces.size(), 4u);
  EXPECT_EQ(pieces[3][0], '\0');
  EXPECT_EQ(Printed(pieces), text);
}

TEST_F(Barcode, PrintRefusedAndPiecesSentAgain) {
  Open(5);
  const QmxTicket ticket{250, "123456789012345678", nullptr, nullptr, nullptr, nullptr, nullptr};
  SetStatus(kPrinterStatus, 6);  // not ready
  EXPECT_EQ(qmx::BarcodePrint(library_, &ticket), 0);
  SetStatus(kPrinterStatus, 1);
  EXPECT_EQ(qmx::BarcodePrint(library_, nullptr), 0);
  const QmxTicket noBarcode{250, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
  EXPECT_EQ(qmx::BarcodePrint(library_, &noBarcode), 0);
  EXPECT_FALSE(library_.Print.UnderWay());

  // The channel is busy with another block: the first piece goes when it is free.
  SetCommand(kBlockSequenceField, Command(kBlockSequenceField) + 1);
  ASSERT_NE(qmx::BarcodePrint(library_, &ticket), 0);
  EXPECT_EQ(qmx::BarcodePrintStatus(library_), qmx::kPrintSending);
  AnswerMessage(1);  // the other block
  EXPECT_EQ(qmx::BarcodePrintStatus(library_), qmx::kPrintSending);
  std::vector<std::string> pieces;
  EXPECT_EQ(PrintToTheEnd(&pieces), 1);
  EXPECT_EQ(Printed(pieces), kTicket89);

  // A unit that never takes a piece: the print is dropped after the bound, once.
  ASSERT_NE(qmx::BarcodePrint(library_, &ticket), 0);
  EXPECT_EQ(qmx::BarcodePrintStatus(library_), qmx::kPrintSending);
  clock_.Advance(std::int64_t{qmx::kUnitAnswerMs} * 1000);
  EXPECT_EQ(qmx::BarcodePrintStatus(library_), qmx::kUnitNoAnswer);
  EXPECT_EQ(qmx::BarcodePrintStatus(library_), 1);

  // The -5 met by BarcodePrint itself is no "ready" (its bit 0 notwithstanding): no
  // new print; the next call finds the printer ready and starts one.
  ASSERT_NE(qmx::BarcodePrint(library_, &ticket), 0);
  clock_.Advance(std::int64_t{qmx::kUnitAnswerMs} * 1000);
  EXPECT_EQ(qmx::BarcodePrint(library_, &ticket), 0);
  EXPECT_FALSE(library_.Print.UnderWay());
  EXPECT_NE(qmx::BarcodePrint(library_, &ticket), 0);
}

TEST_F(Barcode, EscrowCounts) {
  Open(5);
  SetBytes(kStatusAt + kEscrowBarcode, "111122223333444455\0", 20);
  SetBytes(kStatusAt + kStackedBarcode, "999988887777666655\0", 20);
  SetStatus(kEscrowCount, 3);
  SetStatus(kStackedCount, 4);
  SetCommand(kAcceptCount, 1);
  SetCommand(kReturnCount, 1);
  char text[QMX_BARCODE_TEXT + 1];
  std::memset(text, 'Z', sizeof text);
  EXPECT_EQ(qmx::BarcodeInEscrow(library_, text), 1);
  EXPECT_STREQ(text, "111122223333444455");
  EXPECT_EQ(text[QMX_BARCODE_TEXT], 'Z') << "19 bytes, no more";
  const std::uint32_t settings = Command(kSettingsChangeCount);
  qmx::BarcodeAccept(library_);
  EXPECT_EQ(Command(kAcceptCount), 2u);
  EXPECT_EQ(Command(kSettingsChangeCount), settings + 1);
  EXPECT_EQ(qmx::BarcodeInEscrow(library_, nullptr), 0);
  SetStatus(kEscrowCount, 4);
  qmx::BarcodeReturn(library_);
  EXPECT_EQ(Command(kReturnCount), 2u);
  EXPECT_EQ(qmx::BarcodeStacked(library_, text), 4);
  EXPECT_STREQ(text, "999988887777666655");
  qmx::BarcodeEnable(library_);
  EXPECT_EQ(Command(kBarcodeEnabled), 1u);
  qmx::BarcodeDisable(library_);
  EXPECT_EQ(Command(kBarcodeEnabled), 0u);

  // Waiting only while the host has decided fewer than have arrived, the counts
  // compared by their wrapping difference: a host ahead of the unit (its counts
  // from before the unit started afresh) has nothing waiting.
  const struct {
    std::uint32_t escrow, accepted, returned;
    std::int32_t waiting;
  } counts[] = {
      {4, 2, 2, 0}, {5, 2, 2, 1}, {3, 2, 2, 0}, {0, 5, 0, 0}, {1, 0xFFFFFFFF, 0, 1},
  };
  for (const auto& c : counts) {
    SetStatus(kEscrowCount, c.escrow);
    SetCommand(kAcceptCount, c.accepted);
    SetCommand(kReturnCount, c.returned);
    EXPECT_EQ(qmx::BarcodeInEscrow(library_, nullptr), c.waiting) << c.escrow << " " << c.accepted;
  }

  // The unit stalled mid-update: no decision, no settings count, no text.
  SetStatus(kEscrowCount, 5);
  StallUnit();
  const std::vector<std::uint8_t> before = block_.Snapshot();
  qmx::BarcodeAccept(library_);
  qmx::BarcodeReturn(library_);
  std::memset(text, 'Z', sizeof text);
  EXPECT_EQ(qmx::BarcodeInEscrow(library_, text), 0);
  EXPECT_EQ(qmx::BarcodeStacked(library_, text), 0);
  EXPECT_EQ(text[0], 'Z');
  EXPECT_TRUE(ChangedWords(before).empty());
}

TEST_F(Barcode, NothingBelowLevelFive) {
  Open(4);
  SetStatus(kPrinterStatus, 1);
  SetStatus(kEscrowCount, 3);
  SetStatus(kStackedCount, 3);
  const std::vector<std::uint8_t> before = block_.Snapshot();
  const QmxTicket ticket{250, "123456789012345678", nullptr, nullptr, nullptr, nullptr, nullptr};
  qmx::BarcodeEnable(library_);
  qmx::BarcodeAccept(library_);
  qmx::BarcodeReturn(library_);
  char text[QMX_BARCODE_TEXT];
  EXPECT_EQ(qmx::BarcodeInEscrow(library_, text), 0);
  EXPECT_EQ(qmx::BarcodeStacked(library_, text), 0);
  EXPECT_EQ(qmx::BarcodePrint(library_, &ticket), 0);
  EXPECT_EQ(qmx::BarcodePrintStatus(library_), 0);
  EXPECT_TRUE(ChangedWords(before).empty());
}

}  // namespace
