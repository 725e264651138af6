#include "dispatch/AdExcept.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <typeindex>
#include <typeinfo>
#include <vector>

namespace {

// ---------------------------------------------------------------------------
// ErrorText

struct TTextCase {
  int Code;
  const char* Text;
};

class ErrorTextOf : public testing::TestWithParam<TTextCase> {};

TEST_P(ErrorTextOf, IsTheEntryOfTheCodesAbsoluteValue) {
  const TTextCase& c = GetParam();
  EXPECT_EQ(ErrorText(c.Code), c.Text);
  EXPECT_EQ(ErrorText(-c.Code), c.Text);
}

INSTANTIATE_TEST_SUITE_P(
    SelectedIds, ErrorTextOf,
    testing::Values(
        TTextCase{0, "OK"}, TTextCase{2, "File not found"}, TTextCase{162, "General failure"},
        TTextCase{1009, "Component not compatible with WinSock"},
        TTextCase{2011, "The ComNumber property of the TApdComPort has not been set"},
        TTextCase{3007, "Buffer is empty"}, TTextCase{4001, "StartModem has not been called"},
        TTextCase{4306, "Connected at %d baud"}, TTextCase{4707, "File skipped "},
        TTextCase{4711, "Duplicate block received and ignored "},
        TTextCase{5003, "Bad trigger handle"}, TTextCase{5506, "Packet too long"},
        TTextCase{6006, "Fatal time out"},
        TTextCase{7010, "Maximum database records (999) reached"},
        TTextCase{8053, "Invalid page number specified for fax"},
        TTextCase{9004, "Winsock not initialized - %s"},
        TTextCase{10037, "WSAEALREADY: watch out, Al is ready"},
        TTextCase{10061, "The attempt to connect was forcibly refused"},
        TTextCase{11004, "Valid name, but no data record of requested type"},
        TTextCase{13515, "Call disconnected (%s)"},
        TTextCase{13600, "Waiting for retry in %d seconds"},
        TTextCase{13980, "Failed to find/load RASAPI32.DLL"},
        // The dispatch-log vocabulary.
        TTextCase{15001, "No event"}, TTextCase{15020, "User"}, TTextCase{15101, "ReadCom"},
        TTextCase{15121, "Sent WON'T"}, TTextCase{15129, "Sent Term"}, TTextCase{15130, "tfNone"},
        TTextCase{15341, "raDone"}, TTextCase{15342, "Enable"}, TTextCase{15351, "Collecting"},
        TTextCase{15501, "Time      Type      SubType       Data      OtherData"},
        TTextCase{15502, "--------  --------  ------------  --------  ---------"},
        TTextCase{15601, "DCTS "}, TTextCase{15608, "DCD "}, TTextCase{15700, "Binary"},
        TTextCase{15707, "Remote Trans & Echo"}, TTextCase{15742, "Character Set"}));

TEST(ErrorText, TakesTheCodeAsSixteenBitSigned) {
  // 65536 - 3007 is -3007 in 16 bits; 65536 + 5003 is 5003.
  EXPECT_EQ(ErrorText(65536 - 3007), "Buffer is empty");
  EXPECT_EQ(ErrorText(65536 + 5003), "Bad trigger handle");
  EXPECT_EQ(ErrorText(-65536 - 5003), "Bad trigger handle");
}

TEST(ErrorText, FallsBackToTheCLibrarysTextForANumberWithoutEntry) {
  // Id 1 has no entry; the C library names error number 1.
  const std::string expected = strerrordesc_np(1);
  ASSERT_FALSE(expected.empty());
  EXPECT_EQ(ErrorText(-1), expected);
  EXPECT_EQ(ErrorText(1), expected);
}

TEST(ErrorText, IsEmptyWithNeitherEntryNorSystemText) {
  // Ids beyond the last entry and beyond every C library error number.
  EXPECT_EQ(ErrorText(15743), "");
  EXPECT_EQ(ErrorText(-20000), "");
  // Subtype 0 has no name.
  EXPECT_EQ(ErrorText(dlSubTypeNameBase), "");
}

// ---------------------------------------------------------------------------
// CheckResultCode

struct TOwner {
  bool loading = false;
  bool Loading() const { return loading; }
};

TEST(CheckResultCode, PassesSuccessAndCountsThrough) {
  EXPECT_EQ(CheckResultCode(false, 0), 0);
  EXPECT_EQ(CheckResultCode(false, 17), 17);
  TOwner owner;
  EXPECT_EQ(CheckResultCode(&owner, 0x7FFFFFFF), 0x7FFFFFFF);
}

TEST(CheckResultCode, RaisesNothingWhileTheOwnerLoads) {
  TOwner owner{true};
  for (int code : {ecBadTriggerHandle, -1, ecFileNotFound, ecOutOfMemory, ecTapiAllocated,
                   ecWSAECONNREFUSED, -0x7FFFFFFF - 1}) {
    EXPECT_EQ(CheckResultCode(&owner, code), code);
    EXPECT_EQ(CheckResultCode(true, code), code);
  }
  owner.loading = false;
  EXPECT_THROW(CheckResultCode(&owner, ecBadTriggerHandle), EBadTriggerHandle);
  EXPECT_THROW(CheckResultCode(static_cast<const TOwner*>(nullptr), -1), EAPDException);
}

// One row of the exception table: the code, the exact class it raises and
// that class's family.
struct TExceptionCase {
  int Code;
  std::type_index Class;
  const char* ClassName;
  bool (*InFamily)(const EAPDException&);
  const char* FamilyName;
};

template <typename TFamily>
bool IsIn(const EAPDException& e) {
  return dynamic_cast<const TFamily*>(&e) != nullptr;
}

#define ROW(code, Class, Family)                       \
  TExceptionCase {                                     \
    code, typeid(Class), #Class, IsIn<Family>, #Family \
  }

const std::vector<TExceptionCase> kExceptionRows = {
    // 166 rows
    ROW(-1002, EBadArgument, EGeneral),
    ROW(-1003, EGotQuitMsg, EGeneral),
    ROW(-1004, EBufferTooBig, EGeneral),
    ROW(-1005, EPortNotAssigned, EGeneral),
    ROW(-1006, EInternal, EGeneral),
    ROW(-7003, EInternal, EGeneral),
    ROW(-7006, EInternal, EGeneral),
    ROW(-7012, EInternal, EGeneral),
    ROW(-1007, EModemNotAssigned, EGeneral),
    ROW(-1008, EPhonebookNotAssigned, EGeneral),
    ROW(-1009, ECannotUseWithWinSock, EGeneral),
    ROW(-2001, EBadId, EOpenComm),
    ROW(-2002, EBaudRate, EOpenComm),
    ROW(-2003, EByteSize, EOpenComm),
    ROW(-2004, EDefault, EOpenComm),
    ROW(-2005, EHardware, EOpenComm),
    ROW(-2006, EMemory, EOpenComm),
    ROW(-2007, ECommNotOpen, EOpenComm),
    ROW(-2008, EAlreadyOpen, EOpenComm),
    ROW(-2009, ENoHandles, EOpenComm),
    ROW(-2010, ENoTimers, EOpenComm),
    ROW(-2011, ENoPortSelected, EOpenComm),
    ROW(-2012, ENotOpenedByTapi, EOpenComm),
    ROW(-3001, ENullApi, ESerialIO),
    ROW(-3003, ERegisterHandlerFailed, ESerialIO),
    ROW(-3004, EPutBlockFail, ESerialIO),
    ROW(-3005, EGetBlockFail, ESerialIO),
    ROW(-3006, EOutputBufferTooSmall, ESerialIO),
    ROW(-3007, EBufferIsEmpty, ESerialIO),
    ROW(-3008, ETracingNotEnabled, ESerialIO),
    ROW(-3009, ELoggingNotEnabled, ESerialIO),
    ROW(-3010, EBaseAddressNotSet, ESerialIO),
    ROW(-4001, EModemNotStarted, EModem),
    ROW(-4002, EModemBusy, EModem),
    ROW(-4003, EModemNotDialing, EModem),
    ROW(-4004, ENotDialing, EModem),
    ROW(-4005, EAlreadyDialing, EModem),
    ROW(-4006, EModemNotResponding, EModem),
    ROW(-4007, EModemRejectedCommand, EModem),
    ROW(-4008, EModemStatusMismatch, EModem),
    ROW(-5002, ETriggerTooLong, ETrigger),
    ROW(-5003, EBadTriggerHandle, ETrigger),
    ROW(-6006, EProtocol, EProtocol),
    ROW(-6008, EProtocol, EProtocol),
    ROW(-6009, EProtocol, EProtocol),
    ROW(-7001, EKeyTooLong, EINI),
    ROW(-7002, EDataTooLarge, EINI),
    ROW(-7004, EIniWrite, EINI),
    ROW(-7005, EIniRead, EINI),
    ROW(-7007, ERecordExists, EINI),
    ROW(-7008, ERecordNotFound, EINI),
    ROW(-7010, EDatabaseFull, EINI),
    ROW(-7011, EDatabaseEmpty, EINI),
    ROW(-7013, EBadFieldList, EINI),
    ROW(-7014, EBadFieldForIndex, EINI),
    ROW(-8001, EFaxBadFormat, EFax),
    ROW(-8002, EBadGraphicsFormat, EFax),
    ROW(-8003, EConvertAbort, EFax),
    ROW(-8004, EUnpackAbort, EFax),
    ROW(-8005, ECantMakeBitmap, EFax),
    ROW(-8053, EInvalidPageNumber, EFax),
    ROW(-8060, EFaxBadMachine, EFax),
    ROW(-8061, EFaxBadModemResult, EFax),
    ROW(-8062, EFaxTrainError, EFax),
    ROW(-8063, EFaxInitError, EFax),
    ROW(-8064, EFaxBusy, EFax),
    ROW(-8065, EFaxVoiceCall, EFax),
    ROW(-8066, EFaxDataCall, EFax),
    ROW(-8067, EFaxNoDialTone, EFax),
    ROW(-8068, EFaxNoCarrier, EFax),
    ROW(-8069, EFaxSessionError, EFax),
    ROW(-8070, EFaxPageError, EFax),
    ROW(-13980, ERasLoadFail, ERas),
    ROW(-13801, ETapiAllocated, ETapi),
    ROW(-13802, ETapiBadDeviceID, ETapi),
    ROW(-13803, ETapiBearerModeUnavail, ETapi),
    ROW(-13805, ETapiCallUnavail, ETapi),
    ROW(-13806, ETapiCompletionOverrun, ETapi),
    ROW(-13807, ETapiConferenceFull, ETapi),
    ROW(-13808, ETapiDialBilling, ETapi),
    ROW(-13809, ETapiDialDialtone, ETapi),
    ROW(-13810, ETapiDialPrompt, ETapi),
    ROW(-13811, ETapiDialQuiet, ETapi),
    ROW(-13812, ETapiIncompatibleApiVersion, ETapi),
    ROW(-13813, ETapiIncompatibleExtVersion, ETapi),
    ROW(-13814, ETapiIniFileCorrupt, ETapi),
    ROW(-13815, ETapiInUse, ETapi),
    ROW(-13816, ETapiInvalAddress, ETapi),
    ROW(-13817, ETapiInvalAddressID, ETapi),
    ROW(-13818, ETapiInvalAddressMode, ETapi),
    ROW(-13819, ETapiInvalAddressState, ETapi),
    ROW(-13820, ETapiInvalAppHandle, ETapi),
    ROW(-13821, ETapiInvalAppName, ETapi),
    ROW(-13822, ETapiInvalBearerMode, ETapi),
    ROW(-13823, ETapiInvalCallComplMode, ETapi),
    ROW(-13824, ETapiInvalCallHandle, ETapi),
    ROW(-13825, ETapiInvalCallParams, ETapi),
    ROW(-13826, ETapiInvalCallPrivilege, ETapi),
    ROW(-13827, ETapiInvalCallSelect, ETapi),
    ROW(-13828, ETapiInvalCallState, ETapi),
    ROW(-13829, ETapiInvalCallStatelist, ETapi),
    ROW(-13830, ETapiInvalCard, ETapi),
    ROW(-13831, ETapiInvalCompletionID, ETapi),
    ROW(-13832, ETapiInvalConfCallHandle, ETapi),
    ROW(-13833, ETapiInvalConsultCallHandle, ETapi),
    ROW(-13834, ETapiInvalCountryCode, ETapi),
    ROW(-13835, ETapiInvalDeviceClass, ETapi),
    ROW(-13836, ETapiInvalDeviceHandle, ETapi),
    ROW(-13837, ETapiInvalDialParams, ETapi),
    ROW(-13838, ETapiInvalDigitList, ETapi),
    ROW(-13839, ETapiInvalDigitMode, ETapi),
    ROW(-13840, ETapiInvalDigits, ETapi),
    ROW(-13841, ETapiInvalExtVersion, ETapi),
    ROW(-13842, ETapiInvalGroupID, ETapi),
    ROW(-13843, ETapiInvalLineHandle, ETapi),
    ROW(-13844, ETapiInvalLineState, ETapi),
    ROW(-13845, ETapiInvalLocation, ETapi),
    ROW(-13846, ETapiInvalMediaList, ETapi),
    ROW(-13847, ETapiInvalMediaMode, ETapi),
    ROW(-13848, ETapiInvalMessageID, ETapi),
    ROW(-13850, ETapiInvalParam, ETapi),
    ROW(-13851, ETapiInvalParkID, ETapi),
    ROW(-13852, ETapiInvalParkMode, ETapi),
    ROW(-13853, ETapiInvalPointer, ETapi),
    ROW(-13854, ETapiInvalPrivSelect, ETapi),
    ROW(-13855, ETapiInvalRate, ETapi),
    ROW(-13856, ETapiInvalRequestMode, ETapi),
    ROW(-13857, ETapiInvalTerminalID, ETapi),
    ROW(-13858, ETapiInvalTerminalMode, ETapi),
    ROW(-13859, ETapiInvalTimeout, ETapi),
    ROW(-13860, ETapiInvalTone, ETapi),
    ROW(-13861, ETapiInvalToneList, ETapi),
    ROW(-13862, ETapiInvalToneMode, ETapi),
    ROW(-13863, ETapiInvalTransferMode, ETapi),
    ROW(-13864, ETapiLineMapperFailed, ETapi),
    ROW(-13865, ETapiNoConference, ETapi),
    ROW(-13866, ETapiNoDevice, ETapi),
    ROW(-13867, ETapiNoDriver, ETapi),
    ROW(-13868, ETapiNoMem, ETapi),
    ROW(-13869, ETapiNoRequest, ETapi),
    ROW(-13870, ETapiNotOwner, ETapi),
    ROW(-13871, ETapiNotRegistered, ETapi),
    ROW(-13872, ETapiOperationFailed, ETapi),
    ROW(-13873, ETapiOperationUnavail, ETapi),
    ROW(-13874, ETapiRateUnavail, ETapi),
    ROW(-13875, ETapiResourceUnavail, ETapi),
    ROW(-13876, ETapiRequestOverrun, ETapi),
    ROW(-13877, ETapiStructureTooSmall, ETapi),
    ROW(-13878, ETapiTargetNotFound, ETapi),
    ROW(-13879, ETapiTargetSelf, ETapi),
    ROW(-13880, ETapiUninitialized, ETapi),
    ROW(-13881, ETapiUserUserInfoTooBig, ETapi),
    ROW(-13882, ETapiReinit, ETapi),
    ROW(-13883, ETapiAddressBlocked, ETapi),
    ROW(-13884, ETapiBillingRejected, ETapi),
    ROW(-13885, ETapiInvalFeature, ETapi),
    ROW(-13886, ETapiNoMultipleInstance, ETapi),
    ROW(-13928, ETapiBusy, ETapi),
    ROW(-13929, ETapiNotSet, ETapi),
    ROW(-13930, ETapiNoSelect, ETapi),
    ROW(-13931, ETapiLoadFail, ETapi),
    ROW(-13932, ETapiGetAddrFail, ETapi),
    ROW(-13933, ETapi16Disabled, ETapi),
    ROW(-13935, ETapiVoiceNotSupported, ETapi),
    ROW(-13936, ETapiWaveFail, ETapi),
    ROW(-13942, ETapiTranslateFail, ETapi),
};

#undef ROW

class CheckResultCodeRow : public testing::TestWithParam<TExceptionCase> {};

TEST_P(CheckResultCodeRow, RaisesTheLeafOfItsFamilyMadeFromTheCode) {
  const TExceptionCase& c = GetParam();
  try {
    CheckResultCode(false, c.Code);
    FAIL() << "no exception for " << c.Code;
  } catch (const EAPDException& e) {
    EXPECT_EQ(std::type_index(typeid(e)), c.Class)
        << c.Code << " raised " << typeid(e).name() << ", expected " << c.ClassName;
    EXPECT_TRUE(c.InFamily(e)) << c.ClassName << " is not in " << c.FamilyName;
    EXPECT_EQ(e.ErrorCode(), c.Code);
    EXPECT_EQ(e.Message(), ErrorText(c.Code));
    EXPECT_FALSE(e.Message().empty()) << c.Code << " has no text";
    EXPECT_EQ(e.HelpContext(), 0);
  }
}

INSTANTIATE_TEST_SUITE_P(EveryRow, CheckResultCodeRow, testing::ValuesIn(kExceptionRows),
                         [](const testing::TestParamInfo<TExceptionCase>& info) {
                           return std::string(info.param.ClassName) + "_" +
                                  std::to_string(-info.param.Code);
                         });

TEST(CheckResultCode, TableHasTheNinetyThreeTelephonyLeaves) {
  int tapi = 0;
  for (const TExceptionCase& c : kExceptionRows) {
    if (std::string(c.FamilyName) == "ETapi") ++tapi;
  }
  EXPECT_EQ(tapi, 93);
}

TEST(CheckResultCode, SelectedRowsCarryTheirTexts) {
  try {
    CheckResultCode(false, -5003);
    FAIL();
  } catch (const EBadTriggerHandle& e) {
    EXPECT_EQ(e.ErrorCode(), -5003);
    EXPECT_EQ(e.Message(), "Bad trigger handle");
  }
  try {
    CheckResultCode(false, ecDatabaseNotPrepared);
    FAIL();
  } catch (const EInternal& e) {
    EXPECT_EQ(e.Message(), "iPrepareIniDatabase not called");
  }
}

class RunTimeInputOutput : public testing::TestWithParam<int> {};

TEST_P(RunTimeInputOutput, RaisesEInOutErrorWithThePositiveNumber) {
  const int code = GetParam();
  try {
    CheckResultCode(false, code);
    FAIL() << "no exception for " << code;
  } catch (const EInOutError& e) {
    EXPECT_EQ(e.ErrorCode(), -code);
    EXPECT_EQ(e.Message(), ErrorText(code));
  }
}

// Every number of the range, also those without an entry of their own.
INSTANTIATE_TEST_SUITE_P(Range, RunTimeInputOutput,
                         testing::Values(-2, -3, -5, -7, -18, -99, -100, -105, -150, -162));

TEST(CheckResultCode, RaisesEOutOfMemoryForMinusEight) {
  EXPECT_THROW(CheckResultCode(false, ecOutOfMemory), EOutOfMemory);
}

TEST(CheckResultCode, FileNotFoundReadsAsTheRunTimeText) {
  try {
    CheckResultCode(false, -2);
    FAIL();
  } catch (const EInOutError& e) {
    EXPECT_EQ(e.Message(), "File not found");
    EXPECT_EQ(e.ErrorCode(), 2);
  }
}

class VornException : public testing::TestWithParam<int> {};

TEST_P(VornException, RaisesThePlainBaseFromTheMessage) {
  const int code = GetParam();
  try {
    CheckResultCode(false, code);
    FAIL() << "no exception for " << code;
  } catch (const EAPDException& e) {
    EXPECT_EQ(std::type_index(typeid(e)), std::type_index(typeid(EAPDException))) << code;
    EXPECT_EQ(e.Message(), "Vorn exception");
    EXPECT_EQ(e.ErrorCode(), 0);
  }
}

INSTANTIATE_TEST_SUITE_P(CodesWithoutAClass, VornException,
                         testing::Values(-1, -163, -1001, -3002, -4009, -5001, -5501, -5505, -5506,
                                         -6001, -6007, -6010, -7009, -8006, -8092, -9001, -9007,
                                         -10004, -10061, -11004, -13501, -13804, -13849, -13934,
                                         -13937, -13941, -13943, -13979, -13981, -15001, -65536,
                                         -0x7FFFFFFF - 1));

// ---------------------------------------------------------------------------
// EAPDException

TEST(EAPDException, MadeFromACodeCarriesTheCodeAndItsText) {
  const EAPDException e(ecWSAECONNREFUSED);
  EXPECT_EQ(e.ErrorCode(), -10061);
  EXPECT_EQ(e.Message(), "The attempt to connect was forcibly refused");
  EXPECT_STREQ(e.what(), "The attempt to connect was forcibly refused");
}

TEST(EAPDException, MadeFromAMessageHasCodeZero) {
  const EAPDException e(std::string("Something went wrong"));
  EXPECT_EQ(e.ErrorCode(), 0);
  EXPECT_EQ(e.Message(), "Something went wrong");
  const platform::Exception& base = e;
  EXPECT_EQ(base.Message(), "Something went wrong");
}

TEST(EAPDException, MadeFromACodeWithoutAnyTextHasAnEmptyMessage) {
  const EAPDException e(-20000);
  EXPECT_EQ(e.ErrorCode(), -20000);
  EXPECT_EQ(e.Message(), "");
}

}  // namespace
