#include "protocol/module_contract.h"

#include <algorithm>
#include <iterator>
#include <span>

#include "platform/text.h"

#include "protocol/binr_output.h"
#include "protocol/nmea_output.h"

namespace movrand {
namespace {

// The models whose loaders take the B variant of the loader-entry command.
constexpr std::string_view kVariantBModels[] = {"KAP41", "KAP42", "DOV41", "DOV42"};
// Over NMEA, these whole model words take the C variant (as do models beginning with "RTM").
constexpr std::string_view kVariantCModels[] = {"RTK", "RTA"};
constexpr std::string_view kVariantCPrefix = "RTM";

bool isOneOf(std::string_view model, std::span<const std::string_view> words) {
  return std::any_of(words.begin(), words.end(),
                     [model](std::string_view word) { return EqualsIgnoringCase(model, word); });
}

}  // namespace

bool IsRtkTypeModel(std::string_view model) {
  return std::any_of(std::begin(kRtkModelPrefixes), std::end(kRtkModelPrefixes),
                     [model](std::string_view prefix) { return model.starts_with(prefix); });
}

LoaderEntryCommand SelectLoaderEntryCommand(RxMode mode, std::string_view deviceModel) {
  const bool variantB = isOneOf(deviceModel, kVariantBModels);
  switch (mode) {
    case RxMode::Nmea:
      if (variantB) return LoaderEntryCommand::SentenceLoaderB;
      if (isOneOf(deviceModel, kVariantCModels) || deviceModel.starts_with(kVariantCPrefix)) {
        return LoaderEntryCommand::SentenceLoaderC;
      }
      return LoaderEntryCommand::SentenceLoaderR;
    case RxMode::Binr:
      return variantB ? LoaderEntryCommand::MsgLoaderB : LoaderEntryCommand::MsgLoaderR;
    default:
      return LoaderEntryCommand::None;
  }
}

int SendLoaderEntryCommand(RxMode mode, std::string_view deviceModel) {
  switch (SelectLoaderEntryCommand(mode, deviceModel)) {
    case LoaderEntryCommand::SentenceLoaderB:
      return SendNmeaSentence(SentenceLoaderB);
    case LoaderEntryCommand::SentenceLoaderC:
      return SendNmeaSentence(SentenceLoaderC);
    case LoaderEntryCommand::SentenceLoaderR:
      return SendNmeaSentence(SentenceLoaderR);
    case LoaderEntryCommand::MsgLoaderB:
      return SendBinrMessage(MsgLoaderB);
    case LoaderEntryCommand::MsgLoaderR:
      return SendBinrMessage(MsgLoaderR);
    case LoaderEntryCommand::None:
      break;
  }
  return 0;
}

}  // namespace movrand
