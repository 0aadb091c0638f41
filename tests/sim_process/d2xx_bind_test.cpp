// Binding the D2XX library: all nine calls or none, and a failure text that names
// the library and, when it is the lack of one call, that call.
#include <gtest/gtest.h>

#include <string>

#include "platform/d2xx.h"
#include "test_endpoints.h"

namespace {

namespace d2xx = platform::d2xx;

d2xx::Status D2XX_CALL Sentinel(int, d2xx::Handle*) {
  return 77;
}

TEST(D2xxBindTest, LibraryPathIsTheDefaultOrTheOverride) {
  sim_test::SetEnvironment("FLASHWRIGHT_D2XX", "");
#ifdef _WIN32
  EXPECT_EQ(d2xx::LibraryPath(), "FTD2XX.dll");
#else
  EXPECT_EQ(d2xx::LibraryPath(), "libftd2xx.so");
#endif
  sim_test::SetEnvironment("FLASHWRIGHT_D2XX", "elsewhere/lib.x");
  EXPECT_EQ(d2xx::LibraryPath(), "elsewhere/lib.x");
}

TEST(D2xxBindTest, AMissingLibraryIsNamedAndNothingIsFilled) {
  const std::string path = "no-such-folder/no-such-d2xx-library";
  sim_test::SetEnvironment("FLASHWRIGHT_D2XX", path);
  d2xx::Api api{};
  api.Open = Sentinel;
  std::string error;
  EXPECT_FALSE(d2xx::Bind(&api, &error));
  const std::string expected = "Cannot load the FTDI library " + path + ": ";
  EXPECT_EQ(error.substr(0, expected.size()), expected) << error;
  EXPECT_GT(error.size(), expected.size()) << "no reason given";
  EXPECT_EQ(api.Open, &Sentinel);
  EXPECT_EQ(api.Read, nullptr);
}

TEST(D2xxBindTest, ALibraryWithoutTheReadCallIsRefusedByName) {
  sim_test::SetEnvironment("FLASHWRIGHT_D2XX", TEST_PARTIAL_D2XX);
  d2xx::Api api{};
  api.Open = Sentinel;
  std::string error;
  EXPECT_FALSE(d2xx::Bind(&api, &error));
#ifdef _WIN32
  EXPECT_EQ(error, std::string("The FTDI library ") + TEST_PARTIAL_D2XX +
                       " has no entry point at ordinal 3 (read)");
#else
  EXPECT_EQ(error,
            std::string("The FTDI library ") + TEST_PARTIAL_D2XX + " has no entry point FT_Read");
#endif
  EXPECT_EQ(api.Open, &Sentinel);
  EXPECT_EQ(api.Close, nullptr);
}

TEST(D2xxBindTest, TheVirtualLibraryBindsWhole) {
  sim_test::SetEnvironment("FLASHWRIGHT_D2XX", TEST_FTD2XX);
  d2xx::Api api{};
  std::string error;
  ASSERT_TRUE(d2xx::Bind(&api, &error)) << error;
  EXPECT_TRUE(error.empty());
  const void* calls[] = {reinterpret_cast<const void*>(api.Open),
                         reinterpret_cast<const void*>(api.Close),
                         reinterpret_cast<const void*>(api.Read),
                         reinterpret_cast<const void*>(api.Write),
                         reinterpret_cast<const void*>(api.ResetDevice),
                         reinterpret_cast<const void*>(api.GetQueueStatus),
                         reinterpret_cast<const void*>(api.GetStatus),
                         reinterpret_cast<const void*>(api.SetLatencyTimer),
                         reinterpret_cast<const void*>(api.EeRead)};
  for (const void* call : calls) EXPECT_NE(call, nullptr);
  // Each ordinal reaches its own call: closing a handle never given out is refused
  // as such, and opening with no simulator anywhere finds no device.
  sim_test::SetEnvironment("TARVEX_SIM_ENDPOINT", sim_test::FreshEndpointBase());
  int notAHandle = 0;
  EXPECT_EQ(api.Close(&notAHandle), d2xx::kInvalidHandle);
  d2xx::Handle handle = nullptr;
  EXPECT_EQ(api.Open(0, &handle), d2xx::kDeviceNotFound);
  d2xx::Dword count = 0;
  EXPECT_EQ(api.GetQueueStatus(handle, &count), d2xx::kInvalidHandle);
}

}  // namespace
