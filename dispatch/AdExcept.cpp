#include "dispatch/AdExcept.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>

#include "dispatch/AdSrMgr.h"

namespace {

constexpr std::size_t kMaxErrorText = 255;

template <typename T>
[[noreturn]] void Raise(int code) {
  throw T(code);
}

struct TExceptionRow {
  int Code;
  void (*RaiseFor)(int);
};

// Every code with a class of its own, sorted by code (most negative first).
constexpr auto kExceptionTable = [] {
  std::array rows{
      TExceptionRow{ecRasLoadFail, Raise<ERasLoadFail>},
#define APD_TAPI_ROW(name, number) TExceptionRow{ecTapi##name, Raise<ETapi##name>},
      APD_TAPI_ERRORS(APD_TAPI_ROW)
#undef APD_TAPI_ROW
          TExceptionRow{ecFaxPageError, Raise<EFaxPageError>},
      TExceptionRow{ecFaxSessionError, Raise<EFaxSessionError>},
      TExceptionRow{ecFaxNoCarrier, Raise<EFaxNoCarrier>},
      TExceptionRow{ecFaxNoDialTone, Raise<EFaxNoDialTone>},
      TExceptionRow{ecFaxDataCall, Raise<EFaxDataCall>},
      TExceptionRow{ecFaxVoiceCall, Raise<EFaxVoiceCall>},
      TExceptionRow{ecFaxBusy, Raise<EFaxBusy>},
      TExceptionRow{ecFaxInitError, Raise<EFaxInitError>},
      TExceptionRow{ecFaxTrainError, Raise<EFaxTrainError>},
      TExceptionRow{ecFaxBadModemResult, Raise<EFaxBadModemResult>},
      TExceptionRow{ecFaxBadMachine, Raise<EFaxBadMachine>},
      TExceptionRow{ecInvalidPageNumber, Raise<EInvalidPageNumber>},
      TExceptionRow{ecCantMakeBitmap, Raise<ECantMakeBitmap>},
      TExceptionRow{ecUnpackAbort, Raise<EUnpackAbort>},
      TExceptionRow{ecConvertAbort, Raise<EConvertAbort>},
      TExceptionRow{ecBadGraphicsFormat, Raise<EBadGraphicsFormat>},
      TExceptionRow{ecFaxBadFormat, Raise<EFaxBadFormat>},
      TExceptionRow{ecBadFieldForIndex, Raise<EBadFieldForIndex>},
      TExceptionRow{ecBadFieldList, Raise<EBadFieldList>},
      TExceptionRow{ecDatabaseNotPrepared, Raise<EInternal>},
      TExceptionRow{ecDatabaseEmpty, Raise<EDatabaseEmpty>},
      TExceptionRow{ecDatabaseFull, Raise<EDatabaseFull>},
      TExceptionRow{ecRecordNotFound, Raise<ERecordNotFound>},
      TExceptionRow{ecRecordExists, Raise<ERecordExists>},
      TExceptionRow{ecNoIndexKey, Raise<EInternal>},
      TExceptionRow{ecIniRead, Raise<EIniRead>},
      TExceptionRow{ecIniWrite, Raise<EIniWrite>},
      TExceptionRow{ecNoFieldsDefined, Raise<EInternal>},
      TExceptionRow{ecDataTooLarge, Raise<EDataTooLarge>},
      TExceptionRow{ecKeyTooLong, Raise<EKeyTooLong>},
      TExceptionRow{ecSequenceError, Raise<EProtocol>},
      TExceptionRow{ecTooManyErrors, Raise<EProtocol>},
      TExceptionRow{ecTimeout, Raise<EProtocol>},
      TExceptionRow{ecBadTriggerHandle, Raise<EBadTriggerHandle>},
      TExceptionRow{ecTriggerTooLong, Raise<ETriggerTooLong>},
      TExceptionRow{ecModemStatusMismatch, Raise<EModemStatusMismatch>},
      TExceptionRow{ecModemRejectedCommand, Raise<EModemRejectedCommand>},
      TExceptionRow{ecModemNotResponding, Raise<EModemNotResponding>},
      TExceptionRow{ecAlreadyDialing, Raise<EAlreadyDialing>},
      TExceptionRow{ecNotDialing, Raise<ENotDialing>},
      TExceptionRow{ecModemNotDialing, Raise<EModemNotDialing>},
      TExceptionRow{ecModemBusy, Raise<EModemBusy>},
      TExceptionRow{ecModemNotStarted, Raise<EModemNotStarted>},
      TExceptionRow{ecBaseAddressNotSet, Raise<EBaseAddressNotSet>},
      TExceptionRow{ecLoggingNotEnabled, Raise<ELoggingNotEnabled>},
      TExceptionRow{ecTracingNotEnabled, Raise<ETracingNotEnabled>},
      TExceptionRow{ecBufferIsEmpty, Raise<EBufferIsEmpty>},
      TExceptionRow{ecOutputBufferTooSmall, Raise<EOutputBufferTooSmall>},
      TExceptionRow{ecGetBlockFail, Raise<EGetBlockFail>},
      TExceptionRow{ecPutBlockFail, Raise<EPutBlockFail>},
      TExceptionRow{ecRegisterHandlerFailed, Raise<ERegisterHandlerFailed>},
      TExceptionRow{ecNullApi, Raise<ENullApi>},
      TExceptionRow{ecNotOpenedByTapi, Raise<ENotOpenedByTapi>},
      TExceptionRow{ecNoPortSelected, Raise<ENoPortSelected>},
      TExceptionRow{ecNoTimers, Raise<ENoTimers>},
      TExceptionRow{ecNoHandles, Raise<ENoHandles>},
      TExceptionRow{ecAlreadyOpen, Raise<EAlreadyOpen>},
      TExceptionRow{ecCommNotOpen, Raise<ECommNotOpen>},
      TExceptionRow{ecMemory, Raise<EMemory>},
      TExceptionRow{ecHardware, Raise<EHardware>},
      TExceptionRow{ecDefault, Raise<EDefault>},
      TExceptionRow{ecByteSize, Raise<EByteSize>},
      TExceptionRow{ecBaudRate, Raise<EBaudRate>},
      TExceptionRow{ecBadId, Raise<EBadId>},
      TExceptionRow{ecCannotUseWithWinSock, Raise<ECannotUseWithWinSock>},
      TExceptionRow{ecPhonebookNotAssigned, Raise<EPhonebookNotAssigned>},
      TExceptionRow{ecModemNotAssigned, Raise<EModemNotAssigned>},
      TExceptionRow{ecInternal, Raise<EInternal>},
      TExceptionRow{ecPortNotAssigned, Raise<EPortNotAssigned>},
      TExceptionRow{ecBufferTooBig, Raise<EBufferTooBig>},
      TExceptionRow{ecGotQuitMsg, Raise<EGotQuitMsg>},
      TExceptionRow{ecBadArgument, Raise<EBadArgument>},
  };
  std::sort(rows.begin(), rows.end(),
            [](const TExceptionRow& a, const TExceptionRow& b) { return a.Code < b.Code; });
  return rows;
}();

}  // namespace

std::string CleanSystemText(std::string text) {
  std::replace_if(
      text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 32; }, ' ');
  text.erase(
      std::unique(text.begin(), text.end(), [](char a, char b) { return a == ' ' && b == ' '; }),
      text.end());
  return text;
}

// glibc's strerror says "Unknown error N" for a number it does not know;
// that is no text of the number, so strerrordesc_np, which gives nothing
// for such a number, is asked instead.
std::string SystemErrorText(int number) {
  const char* text = strerrordesc_np(number);
  if (text == nullptr) return {};
  return CleanSystemText(Utf8Prefix(text, kMaxErrorText));
}

std::string ErrorText(int code) {
  const int id = std::abs(static_cast<int>(static_cast<std::int16_t>(code)));
  std::string text =
      Utf8Prefix(ErrorStringResource().GetString(static_cast<std::uint32_t>(id)), kMaxErrorText);
  if (text.empty()) text = SystemErrorText(id);
  return text;
}

EAPDException::EAPDException(int code) : platform::Exception(ErrorText(code)), errorCode_(code) {}

EAPDException::EAPDException(const std::string& message)
    : platform::Exception(message), errorCode_(0) {}

int CheckResultCode(bool ownerLoading, int code) {
  if (code >= 0 || ownerLoading) return code;
  const auto row =
      std::lower_bound(kExceptionTable.begin(), kExceptionTable.end(), code,
                       [](const TExceptionRow& entry, int value) { return entry.Code < value; });
  if (row != kExceptionTable.end() && row->Code == code) row->RaiseFor(code);
  if (code >= ecHardwareFailure && code <= ecFileNotFound) {
    if (code == ecOutOfMemory) throw EOutOfMemory();
    throw EInOutError(ErrorText(code), -code);
  }
  throw EAPDException("Vorn exception");
}
