#include "protocol/module_contract.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "protocol/binr_output.h"
#include "protocol/nmea_output.h"
#include "support/capture_serial.h"

namespace movrand {
namespace {

using test::Bytes;
using test::CapturedLink;
using Cmd = LoaderEntryCommand;

struct Row {
  RxMode mode;
  std::string_view model;
  Cmd command;
};

class LoaderEntryTable : public testing::TestWithParam<Row> {};

TEST_P(LoaderEntryTable, ChoosesTheCommandForTheModel) {
  const Row& r = GetParam();
  EXPECT_EQ(SelectLoaderEntryCommand(r.mode, r.model), r.command)
      << "mode " << static_cast<int>(r.mode) << " model \"" << r.model << "\"";
}

INSTANTIATE_TEST_SUITE_P(
    ModuleContract, LoaderEntryTable,
    testing::Values(
        // Variant B: whole words, any letter case, both protocols.
        Row{RxMode::Nmea, "KAP41", Cmd::SentenceLoaderB},
        Row{RxMode::Nmea, "kap42", Cmd::SentenceLoaderB},
        Row{RxMode::Nmea, "Dov41", Cmd::SentenceLoaderB},
        Row{RxMode::Nmea, "DOV42", Cmd::SentenceLoaderB},
        Row{RxMode::Binr, "KAP41", Cmd::MsgLoaderB}, Row{RxMode::Binr, "dov42", Cmd::MsgLoaderB},
        Row{RxMode::Nmea, "KAP41X", Cmd::SentenceLoaderR},
        Row{RxMode::Nmea, "KAP4", Cmd::SentenceLoaderR},
        Row{RxMode::Binr, "DOV43", Cmd::MsgLoaderR},
        // Variant C over NMEA only: "RTK" and "RTA" whole words in any case, "RTM" prefix
        // in upper case only.
        Row{RxMode::Nmea, "RTK", Cmd::SentenceLoaderC},
        Row{RxMode::Nmea, "rta", Cmd::SentenceLoaderC},
        Row{RxMode::Nmea, "RTM", Cmd::SentenceLoaderC},
        Row{RxMode::Nmea, "RTM2xx", Cmd::SentenceLoaderC},
        Row{RxMode::Nmea, "rtm2", Cmd::SentenceLoaderR},
        Row{RxMode::Nmea, "RTK2", Cmd::SentenceLoaderR},
        Row{RxMode::Nmea, "RT", Cmd::SentenceLoaderR}, Row{RxMode::Binr, "RTK", Cmd::MsgLoaderR},
        Row{RxMode::Binr, "RTM2", Cmd::MsgLoaderR},
        // Anything else.
        Row{RxMode::Nmea, "", Cmd::SentenceLoaderR}, Row{RxMode::Binr, "", Cmd::MsgLoaderR},
        // No command outside the two link modes.
        Row{RxMode::Idle, "KAP41", Cmd::None}, Row{RxMode::LoaderWait, "RTK", Cmd::None},
        Row{RxMode::Transfer, "X", Cmd::None}));

TEST(ModuleContract, SendsTheChosenCommandInTheLinksProtocol) {
  CapturedLink link;
  ASSERT_TRUE(link.open());
  EXPECT_EQ(SendLoaderEntryCommand(RxMode::Nmea, "kap41"), 13);
  EXPECT_EQ(SendLoaderEntryCommand(RxMode::Nmea, "RTM3"), 13);
  EXPECT_EQ(SendLoaderEntryCommand(RxMode::Nmea, "NV08C"), 13);
  EXPECT_EQ(SendLoaderEntryCommand(RxMode::Binr, "DOV41"), 16);
  EXPECT_EQ(SendLoaderEntryCommand(RxMode::Binr, "RTK"), 16);
  EXPECT_EQ(SendLoaderEntryCommand(RxMode::Idle, "KAP41"), 0);
  auto text = [](std::string_view s) { return Bytes(s.begin(), s.end()); };
  EXPECT_EQ(
      link.driver.writes(),
      (std::vector<Bytes>{text("$POPRL,B*3F\r\n"), text("$POPRL,C*3E\r\n"), text("$POPRL,R*2F\r\n"),
                          FrameBinrMessage(MsgLoaderB), FrameBinrMessage(MsgLoaderR)}));
}

TEST(ModuleContract, RtkTypeModelsArePrefixedInUpperCase) {
  EXPECT_TRUE(IsRtkTypeModel("RTK"));
  EXPECT_TRUE(IsRtkTypeModel("RTA1"));
  EXPECT_TRUE(IsRtkTypeModel("RTM-2"));
  EXPECT_FALSE(IsRtkTypeModel("rtk"));
  EXPECT_FALSE(IsRtkTypeModel("RT"));
  EXPECT_FALSE(IsRtkTypeModel("XRTK"));
}

}  // namespace
}  // namespace movrand
