// The per-protocol descriptions that drive the connect, the synchronisation and the scans:
// each must say exactly what its protocol's links use, since the code that reads them no
// longer tells NMEA from BINR by itself.
#include "connection/link.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "app/form_fakes.h"
#include "sim/sim_test_util.h"
#include "support/capture_serial.h"

namespace movrand {
namespace {

using Rates = std::vector<std::uint32_t>;

Rates RatesOf(const LinkDescription& link) {
  return Rates(link.scanRates.begin(), link.scanRates.end());
}

TEST(LinkDescription, NmeaScansSevenRatesWithoutParityAndProbesAt4800ForASecond) {
  EXPECT_EQ(RatesOf(kNmeaLink), (Rates{115200, 230400, 57600, 38400, 19200, 9600, 4800}));
  EXPECT_EQ(kNmeaLink.mode, RxMode::Nmea);
  EXPECT_EQ(kNmeaLink.parity, Parity::None);
  EXPECT_EQ(kNmeaLink.name, "NMEA");
  EXPECT_EQ(kNmeaLink.scanInterval, Milliseconds{500});
  EXPECT_EQ(kNmeaLink.slowRate, 4800u);
  EXPECT_EQ(kNmeaLink.slowRateWindow, Milliseconds{1000});
}

TEST(LinkDescription, BinrScansSixRatesWithOddParityAndNever4800) {
  EXPECT_EQ(RatesOf(kBinrLink), (Rates{115200, 230400, 57600, 38400, 19200, 9600}));
  EXPECT_EQ(kBinrLink.mode, RxMode::Binr);
  EXPECT_EQ(kBinrLink.parity, Parity::Odd);
  EXPECT_EQ(kBinrLink.name, "BINR");
  EXPECT_EQ(kBinrLink.scanInterval, Milliseconds{500});
  EXPECT_EQ(kBinrLink.slowRate, 0u) << "no BINR rate gets a longer window";
}

TEST(LinkDescription, FourteenThousandFourHundredIsForFixedRatesOnly) {
  for (const LinkDescription* link : {&kNmeaLink, &kBinrLink}) {
    const Rates rates = RatesOf(*link);
    EXPECT_EQ(std::count(rates.begin(), rates.end(), 14400u), 0) << link->name;
  }
}

TEST(LinkDescription, EachProtocolDrivesItsOwnTimers) {
  testing::FormFixture f;
  TMainForm& form = f.form;
  EXPECT_EQ(&(form.*kNmeaLink.scanTimer), &form.TimerAutoBaudNmea);
  EXPECT_EQ(&(form.*kNmeaLink.synchTimer), &form.TimerSynchNMEA);
  EXPECT_EQ(&(form.*kBinrLink.scanTimer), &form.TimerAutoBaudBinr);
  EXPECT_EQ(&(form.*kBinrLink.synchTimer), &form.TimerSynchBINR);
  EXPECT_EQ((form.*kNmeaLink.scanTimer).interval(), kNmeaLink.scanInterval);
  EXPECT_EQ((form.*kBinrLink.scanTimer).interval(), kBinrLink.scanInterval);
}

TEST(LinkDescription, TheProbesAreTheVersionQueryAndTheBinrProbeFrame) {
  test::CapturedLink link;
  ASSERT_TRUE(link.open());
  EXPECT_GT(kNmeaLink.sendProbe(), 0);
  EXPECT_GT(kBinrLink.sendProbe(), 0);
  ASSERT_EQ(link.driver.writes().size(), 2u);
  const std::string query = "$POVER*5E\r\n";
  EXPECT_EQ(link.driver.writes()[0], test::Bytes(query.begin(), query.end()));
  EXPECT_EQ(link.driver.writes()[1], sim::testing::HostFrame(0x26, {}));
}

}  // namespace
}  // namespace movrand
