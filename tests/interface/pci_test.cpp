// The PCI card: the driver layer's statuses, windows, request buffers and threads
// against the simulated driver, and the opening's search of the cards when no named
// block exists (open results, the bridge register, a block served through window 2,
// unloading).
#include "interface/pci.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "interface/library.h"
#include "interface/money.h"
#include "platform/clock.h"
#include "sim/pci_card.h"
#include "tests/interface/unit_block.h"

namespace {

using qmx::PciLayer;
using sim::PciCardOptions;
using sim::PciDriver;
using Device = PciLayer::Device;

constexpr std::int32_t kV5 = 0x00010005;

qmx::DeviceLocation Wildcard(int card) {
  qmx::DeviceLocation location;
  std::snprintf(location.name, sizeof location.name, "QMZELTI-%d", card);
  return location;
}

// A driver with the given cards and an initialised layer over it.
class PciLayerTest : public testing::Test {
 protected:
  void Cards(std::vector<PciCardOptions> cards) {
    layer_.reset();
    driver_ = std::make_unique<PciDriver>(std::move(cards), clock_);
    layer_ = std::make_unique<PciLayer>(driver_->api());
    layer_->PciInitialise();
  }
  Device Open(int card) {
    qmx::DeviceLocation location = Wildcard(card);
    Device device = nullptr;
    EXPECT_EQ(layer_->PciOpenDevice(&location, &device), 512) << card;
    return device;
  }

  platform::VirtualClock clock_;
  std::unique_ptr<PciDriver> driver_;
  std::unique_ptr<PciLayer> layer_;
};

TEST_F(PciLayerTest, StatusOfEachRefusal) {
  struct Case {
    const char* what;
    std::function<std::int32_t()> call;
    std::int32_t status;
  };
  Device s = nullptr, f = nullptr;  // open handles: a sound card, one whose mapping fails
  std::uint8_t byte = 0, x = 0;
  std::uint8_t* notAWindow = &byte;
  std::uint8_t* none = nullptr;
  std::uint8_t* w = nullptr;
  Device d = nullptr;
  const Device stray = &byte;
  qmx::DeviceLocation noCard = Wildcard(5);
  const Case cases[] = {
      {"open, no location", [&] { return layer_->PciOpenDevice(nullptr, &d); }, 531},
      {"map, no address", [&] { return layer_->PciMapWindow(s, 2, nullptr); }, 531},
      {"unmap, no address", [&] { return layer_->PciUnmapWindow(s, nullptr); }, 531},
      {"version, no minor", [&] { return layer_->PciDriverVersion(s, &x, nullptr, &x); }, 531},
      {"unmap 0", [&] { return layer_->PciUnmapWindow(s, &none); }, 537},
      {"unmap, not a window", [&] { return layer_->PciUnmapWindow(s, &notAWindow); }, 537},
      {"close, never opened", [&] { return layer_->PciCloseDevice(stray); }, 551},
      {"open, no such card",
       [&] {
         d = stray;
         const std::int32_t status = layer_->PciOpenDevice(&noCard, &d);
         return d == nullptr ? status : -1;
       },
       551},
      {"map, unknown handle", [&] { return layer_->PciMapWindow(stray, 2, &w); }, 572},
      {"unmap, unknown handle", [&] { return layer_->PciUnmapWindow(stray, &notAWindow); }, 572},
      {"write, unknown handle", [&] { return layer_->PciWriteRegister(stray, 0x28, 1); }, 572},
      {"version, unknown handle", [&] { return layer_->PciDriverVersion(stray, &x, &x, &x); }, 572},
      {"map, the driver's status", [&] { return layer_->PciMapWindow(f, 2, &w); }, 552},
      {"map again after a failed mapping",
       [&] {
         layer_->PciMapWindow(f, 2, &w);
         return layer_->PciMapWindow(f, 2, &w);
       },
       513},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.what);
    Cards({{}, {.mapStatus = 552}});
    s = Open(0);
    f = Open(1);
    EXPECT_EQ(test.call(), test.status);
    EXPECT_EQ(driver_->MappedWindows(), 0);
  }
}

TEST_F(PciLayerTest, WindowIndexAboveSixIsRefusedWithoutARequest) {
  Cards({{}});
  const Device device = Open(0);
  std::uint8_t byte = 0;
  std::uint8_t* window = &byte;
  EXPECT_EQ(layer_->PciMapWindow(device, 7, &window), 539);
  EXPECT_EQ(window, nullptr);
  EXPECT_EQ(driver_->Requests(PciDriver::kMapWindow), 0u);
}

TEST_F(PciLayerTest, OpenFillsInTheDriversLocation) {
  Cards({{},
         {.driverVersion = 0x00030407,
          .bus = 5,
          .slot = 17,
          .deviceId = 0x1234,
          .vendorId = 0xABCD}});
  qmx::DeviceLocation location = Wildcard(1);
  Device device = nullptr;
  ASSERT_EQ(layer_->PciOpenDevice(&location, &device), 512);
  EXPECT_EQ(location.bus, 5);
  EXPECT_EQ(location.slot, 17);
  EXPECT_EQ(location.deviceId, 0x1234);
  EXPECT_EQ(location.vendorId, 0xABCD);
  EXPECT_STREQ(location.name, "QMZELTI-1");
  std::uint8_t major = 0, minor = 0, revision = 0;
  EXPECT_EQ(layer_->PciDriverVersion(device, &major, &minor, &revision), 512);
  EXPECT_EQ(major, 3);
  EXPECT_EQ(minor, 4);
  EXPECT_EQ(revision, 7);
  EXPECT_EQ(driver_->Requests(PciDriver::kDeviceLocation), 1u);
  EXPECT_EQ(driver_->Requests(PciDriver::kDriverVersion), 2u) << "once at the open";
}

TEST_F(PciLayerTest, AWindowIsMappedOnceAndUnmappedOnce) {
  Cards({{}});
  const Device device = Open(0);
  std::uint8_t* first = nullptr;
  std::uint8_t* second = nullptr;
  ASSERT_EQ(layer_->PciMapWindow(device, 2, &first), 512);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(layer_->PciMapWindow(device, 2, &second), 512);
  EXPECT_EQ(second, first);
  EXPECT_EQ(driver_->Requests(PciDriver::kMapWindow), 1u);

  EXPECT_EQ(layer_->PciUnmapWindow(device, &second), 512);
  EXPECT_EQ(second, nullptr);
  EXPECT_EQ(driver_->MappedWindows(), 0);
  EXPECT_EQ(layer_->PciUnmapWindow(device, &first), 537) << "no longer a window";
  EXPECT_EQ(driver_->Requests(PciDriver::kUnmapWindow), 1u);
  // Unmapped, the window may be mapped again.
  EXPECT_EQ(layer_->PciMapWindow(device, 2, &first), 512);
  EXPECT_EQ(driver_->Requests(PciDriver::kMapWindow), 2u);
}

TEST_F(PciLayerTest, CloseAndShutdownLetGoOfEverything) {
  Cards({{}, {}});
  const Device zero = Open(0);
  const Device one = Open(1);
  std::uint8_t* window = nullptr;
  ASSERT_EQ(layer_->PciMapWindow(zero, 2, &window), 512);
  ASSERT_EQ(layer_->PciMapWindow(zero, 4, &window), 512);
  ASSERT_EQ(layer_->PciMapWindow(one, 2, &window), 512);

  EXPECT_EQ(layer_->PciCloseDevice(zero), 512);
  EXPECT_EQ(driver_->Requests(PciDriver::kUnmapWindow), 2u);
  EXPECT_EQ(driver_->OpenHandles(), 1);
  EXPECT_EQ(layer_->PciCloseDevice(zero), 551);

  layer_->PciShutdown();
  EXPECT_EQ(driver_->Requests(PciDriver::kUnmapWindow), 3u);
  EXPECT_EQ(driver_->OpenHandles(), 0);
  EXPECT_EQ(driver_->LiveEvents(), 0);
  qmx::DeviceLocation location = Wildcard(0);
  Device device = nullptr;
  EXPECT_EQ(layer_->PciOpenDevice(&location, &device), 551) << "shut down";
  EXPECT_EQ(driver_->OpenAttempts(), 2);
}

// Threads share one handle: each maps, writes through and unmaps its own window and
// writes its own register. Every request borrows a buffer, so the pool never grows
// past one buffer per thread. Run under ThreadSanitizer with the linux-tsan preset.
TEST_F(PciLayerTest, ThreadsShareTheLayerAndItsBuffers) {
  Cards({{}});
  const Device device = Open(0);
  constexpr int kThreads = 4;
  constexpr std::uint32_t kRounds = 200;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      const auto index = static_cast<std::uint32_t>(t == 2 ? 6 : t);
      for (std::uint32_t round = 1; round <= kRounds; ++round) {
        std::uint8_t* window = nullptr;
        ASSERT_EQ(layer_->PciMapWindow(device, index, &window), 512);
        qmx_test::SetWordAt(window, 0, round);
        ASSERT_EQ(layer_->PciUnmapWindow(device, &window), 512);
        ASSERT_EQ(layer_->PciWriteRegister(device, 4 * index, round), 512);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_LE(driver_->EventsMade(), kThreads);
  EXPECT_EQ(driver_->MappedWindows(), 0);
  for (std::uint32_t index : {0u, 1u, 6u, 3u}) EXPECT_EQ(driver_->Register(0, 4 * index), kRounds);
  EXPECT_EQ(driver_->Requests(PciDriver::kMapWindow), kThreads * kRounds);
}

// ---- The opening's search of the cards ------------------------------------------

class PciOpen : public testing::Test {
 protected:
  // Cards with a served block have it set up (one tick) before the library looks.
  void Cards(std::vector<PciCardOptions> cards) {
    library_.reset();
    driver_ = std::make_unique<PciDriver>(std::move(cards), clock_);
    driver_->Tick();
    library_ = std::make_unique<qmx::LibraryState>(base_, driver_->api());
  }

  std::string base_ = qmx_test::UniqueBaseName();  // no such mapping exists
  platform::VirtualClock clock_;
  std::unique_ptr<PciDriver> driver_;
  std::unique_ptr<qmx::LibraryState> library_;
};

TEST_F(PciOpen, ResultOfEachCardSetting) {
  const PciCardOptions ok, noBlock{.noBlock = true}, noOpen{.openFails = true};
  struct Case {
    const char* what;
    std::vector<PciCardOptions> cards;
    std::int32_t result;
    int bridged;  // the card whose bridge register was set, or -1
  };
  const Case cases[] = {
      {"no card: every open fails", {}, 31, -1},
      {"a card", {ok}, 0, 0},
      {"the first of two cards", {ok, ok}, 0, 0},
      {"driver answers 552", {{.mapStatus = 552}}, 20, -1},
      {"driver answers 537", {{.mapStatus = 537}}, 21, -1},
      {"driver answers 600", {{.mapStatus = 600}}, 0x10000000 + 600, -1},
      {"a window without BlockMagic", {noBlock}, 31, -1},
      {"the first window lacks BlockMagic", {noBlock, ok}, 0, 1},
      {"the first card does not open", {noOpen, ok}, 0, 1},
      {"a failed open keeps the mapping's status", {{.mapStatus = 552}, noOpen}, 20, -1},
      {"the last card's failure decides", {noBlock, {.mapStatus = 537}}, 21, -1},
      {"a mapping failure, then no block", {{.mapStatus = 537}, noBlock}, 31, -1},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.what);
    const auto cards = static_cast<int>(test.cards.size());
    Cards(test.cards);
    EXPECT_EQ(library_->OpenVODVersion(kV5), test.result);
    EXPECT_EQ(library_->IsOpen(), test.result == 0);
    EXPECT_FALSE(library_->MappingHeld());
    const int searched = test.bridged >= 0 ? test.bridged + 1 : 128;
    EXPECT_EQ(driver_->OpenAttempts(), searched) << "the search stops at the block";
    for (int card = 0; card < cards; ++card) {
      EXPECT_EQ(driver_->Register(card, 0x28).value_or(0), card == test.bridged ? 0x50508000u : 0u)
          << card;
    }
    EXPECT_LE(driver_->OpenHandles(), 1) << "a card opened later closes the one before";
    library_->Unload();
    EXPECT_EQ(driver_->OpenHandles(), 0);
    EXPECT_EQ(driver_->LiveEvents(), 0);
  }
}

// The driver grants window 2 but the system cannot map it: that card is no block
// (551, open 31) and the search goes on to the next.
TEST_F(PciOpen, AWindowTheSystemCannotMap) {
  const PciCardOptions unmappable{.systemCannotMap = true}, ok;
  const struct {
    std::vector<PciCardOptions> cards;
    std::int32_t status, result;
  } cases[] = {
      {{unmappable}, 551, 31},
      {{unmappable, ok}, 512, 0},
  };
  for (const auto& test : cases) {
    Cards(test.cards);
    EXPECT_EQ(library_->OpenVODVersion(kV5), test.result);
    EXPECT_EQ(library_->OpenStatus, test.status);
    EXPECT_EQ(library_->IsOpen(), test.result == 0);
    library_->Unload();
    EXPECT_EQ(driver_->OpenHandles(), 0);
  }
}

TEST_F(PciOpen, TheCardsWindowIsTheBlock) {
  Cards({{.noBlock = true}, {}});
  sim::BlockServer& unit = *driver_->Server(1);
  ASSERT_EQ(library_->OpenVODVersion(kV5), 0);
  ASSERT_NE(library_->PciDevice(), nullptr);
  EXPECT_EQ(library_->Block.size(), 0xB000u);
  EXPECT_EQ(driver_->OpenHandles(), 1) << "card 0 closed as card 1 opened";
  EXPECT_EQ(driver_->MappedWindows(), 1);
  library_->EnableInterface();
  driver_->Tick();
  EXPECT_EQ(unit.Status().attachCount, 1u);
  EXPECT_EQ(unit.Status().hostOpen, 1u);
  EXPECT_EQ(unit.Status().interfaceEnabled, 1u);

  std::string error;
  ASSERT_NE(unit.InsertCoin(50, -1, &error), 0u) << error;
  driver_->Tick();
  EXPECT_EQ(qmx::CurrentValue(*library_), 50);

  // DriverState belongs to a mapping: through a card's window it is neither read nor
  // written (a stored 3 would make the unit stop serving).
  unit.SetDriverState(5);
  EXPECT_EQ(library_->DriverState(), 0u);
  unit.SetDriverState(0);
  library_->SetDriverState(3);
  driver_->Tick();
  EXPECT_TRUE(unit.Status().serving);

  library_->Unload();
  driver_->Tick();
  EXPECT_EQ(unit.Status().attachCount, 0u);
  EXPECT_EQ(unit.Status().interfaceEnabled, 0u) << "the last unload switches the interface off";
  EXPECT_EQ(unit.Status().hostOpen, 0u);
  EXPECT_EQ(driver_->Requests(PciDriver::kUnmapWindow), 2u) << "each card's window 2";
  EXPECT_EQ(driver_->OpenHandles(), 0);
  EXPECT_EQ(driver_->LiveEvents(), 0);
  EXPECT_FALSE(library_->IsOpen());
}

}  // namespace
