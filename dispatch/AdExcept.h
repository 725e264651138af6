// Result codes, their texts and the exception family of the communications
// layer.
//
// Every operation of the dispatcher, the port components, the socket layer,
// the data packets and the FTP client reports a failure as a negative result
// code: 0 is success, a positive value is success carrying a count or a
// handle, -N is error number N. The text of N (error or any other message
// number, such as the dispatch-log vocabulary) is entry N of the string
// resource "VORN_ERROR_STRINGS_ENGLISH" and is read with ErrorText.
//
// Naming: a result code is `ec` followed by the name of the exception class
// it raises without its leading `E` (ecBufferIsEmpty raises EBufferIsEmpty);
// codes without a class of their own are named after their text. Run-time
// input/output numbers (-2 .. -162) are named after their meaning; Winsock
// numbers keep Winsock's own names (ecWSAECONNREFUSED = -10061).
//
// Threads: ErrorText and CheckResultCode may be called from any thread; the
// string readers serialise their lookups.
#pragma once

#include <concepts>
#include <cstdint>
#include <string>

#include "platform/Exception.h"

// ---------------------------------------------------------------------------
// Result codes

constexpr int ecOK = 0;

// Run-time file and device input/output errors; raised as EInOutError (-8 as
// EOutOfMemory).
constexpr int ecFileNotFound = -2;
constexpr int ecPathNotFound = -3;
constexpr int ecTooManyFiles = -4;
constexpr int ecAccessDenied = -5;
constexpr int ecInvalidHandle = -6;
constexpr int ecOutOfMemory = -8;
constexpr int ecInvalidDrive = -15;
constexpr int ecNoMoreFiles = -18;
constexpr int ecDiskRead = -100;
constexpr int ecDiskFull = -101;
constexpr int ecNotAssigned = -102;
constexpr int ecNotOpen = -103;
constexpr int ecNotOpenInput = -104;
constexpr int ecNotOpenOutput = -105;
constexpr int ecWriteProtected = -150;
constexpr int ecUnknownUnit = -151;
constexpr int ecDriveNotReady = -152;
constexpr int ecUnknownCommand = -153;
constexpr int ecCrcError = -154;
constexpr int ecBadStructLen = -155;
constexpr int ecSeekError = -156;
constexpr int ecUnknownMedia = -157;
constexpr int ecSectorNotFound = -158;
constexpr int ecOutOfPaper = -159;
constexpr int ecDeviceWrite = -160;
constexpr int ecDeviceRead = -161;
constexpr int ecHardwareFailure = -162;

// General.
constexpr int ecBadHandle = -1001;
constexpr int ecBadArgument = -1002;
constexpr int ecGotQuitMsg = -1003;
constexpr int ecBufferTooBig = -1004;
constexpr int ecPortNotAssigned = -1005;
constexpr int ecInternal = -1006;
constexpr int ecModemNotAssigned = -1007;
constexpr int ecPhonebookNotAssigned = -1008;
constexpr int ecCannotUseWithWinSock = -1009;

// Opening a port.
constexpr int ecBadId = -2001;
constexpr int ecBaudRate = -2002;
constexpr int ecByteSize = -2003;
constexpr int ecDefault = -2004;
constexpr int ecHardware = -2005;
constexpr int ecMemory = -2006;
constexpr int ecCommNotOpen = -2007;
constexpr int ecAlreadyOpen = -2008;
constexpr int ecNoHandles = -2009;
constexpr int ecNoTimers = -2010;
constexpr int ecNoPortSelected = -2011;
constexpr int ecNotOpenedByTapi = -2012;

// Device input/output and dispatcher buffers.
constexpr int ecNullApi = -3001;
constexpr int ecNotSupported = -3002;
constexpr int ecRegisterHandlerFailed = -3003;
constexpr int ecPutBlockFail = -3004;
constexpr int ecGetBlockFail = -3005;
constexpr int ecOutputBufferTooSmall = -3006;
constexpr int ecBufferIsEmpty = -3007;
constexpr int ecTracingNotEnabled = -3008;
constexpr int ecLoggingNotEnabled = -3009;
constexpr int ecBaseAddressNotSet = -3010;

// Modem and dialer.
constexpr int ecModemNotStarted = -4001;
constexpr int ecModemBusy = -4002;
constexpr int ecModemNotDialing = -4003;
constexpr int ecNotDialing = -4004;
constexpr int ecAlreadyDialing = -4005;
constexpr int ecModemNotResponding = -4006;
constexpr int ecModemRejectedCommand = -4007;
constexpr int ecModemStatusMismatch = -4008;

// Triggers.
constexpr int ecNoMoreTriggers = -5001;
constexpr int ecTriggerTooLong = -5002;
constexpr int ecBadTriggerHandle = -5003;

// Data packets (raised by the packet itself as EInvalidProperty).
constexpr int ecStartStringEmpty = -5501;
constexpr int ecPacketTooSmall = -5502;
constexpr int ecNoEndCharCount = -5503;
constexpr int ecEmptyEndString = -5504;
constexpr int ecZeroSizePacket = -5505;
constexpr int ecPacketTooLong = -5506;

// File-transfer protocols.
constexpr int ecBadFileList = -6001;
constexpr int ecNoSearchMask = -6002;
constexpr int ecNoMatchingFiles = -6003;
constexpr int ecDirNotFound = -6004;
constexpr int ecCancelRequested = -6005;
constexpr int ecTimeout = -6006;
constexpr int ecProtocolError = -6007;
constexpr int ecTooManyErrors = -6008;
constexpr int ecSequenceError = -6009;
constexpr int ecNoFilename = -6010;
constexpr int ecFileRejected = -6011;
constexpr int ecCantWriteFile = -6012;
constexpr int ecTableFull = -6013;
constexpr int ecAbortNoCarrier = -6014;
constexpr int ecBadProtocolFunction = -6015;
constexpr int ecProtocolAbort = -6016;

// INI-file database.
constexpr int ecKeyTooLong = -7001;
constexpr int ecDataTooLarge = -7002;
constexpr int ecNoFieldsDefined = -7003;
constexpr int ecIniWrite = -7004;
constexpr int ecIniRead = -7005;
constexpr int ecNoIndexKey = -7006;
constexpr int ecRecordExists = -7007;
constexpr int ecRecordNotFound = -7008;
constexpr int ecMustHaveIdxVal = -7009;
constexpr int ecDatabaseFull = -7010;
constexpr int ecDatabaseEmpty = -7011;
constexpr int ecDatabaseNotPrepared = -7012;
constexpr int ecBadFieldList = -7013;
constexpr int ecBadFieldForIndex = -7014;

// Fax (those that raise a class of their own).
constexpr int ecFaxBadFormat = -8001;
constexpr int ecBadGraphicsFormat = -8002;
constexpr int ecConvertAbort = -8003;
constexpr int ecUnpackAbort = -8004;
constexpr int ecCantMakeBitmap = -8005;
constexpr int ecInvalidPageNumber = -8053;
constexpr int ecFaxBadMachine = -8060;
constexpr int ecFaxBadModemResult = -8061;
constexpr int ecFaxTrainError = -8062;
constexpr int ecFaxInitError = -8063;
constexpr int ecFaxBusy = -8064;
constexpr int ecFaxVoiceCall = -8065;
constexpr int ecFaxDataCall = -8066;
constexpr int ecFaxNoDialTone = -8067;
constexpr int ecFaxNoCarrier = -8068;
constexpr int ecFaxSessionError = -8069;
constexpr int ecFaxPageError = -8070;

// Socket layer (raised as EApdSocketException by the socket layer).
constexpr int ecVornError = -9001;
constexpr int ecWsLoadError = -9002;
constexpr int ecWsVersionError = -9003;
constexpr int ecWsNotInit = -9004;
constexpr int ecWsInvalidPort = -9005;
constexpr int ecWsConnected = -9006;
constexpr int ecWsCantResolve = -9007;

// Winsock error numbers, negated.
constexpr int ecWSAEINTR = -10004;
constexpr int ecWSAEBADF = -10009;
constexpr int ecWSAEACCES = -10013;
constexpr int ecWSAEFAULT = -10014;
constexpr int ecWSAEINVAL = -10022;
constexpr int ecWSAEMFILE = -10024;
constexpr int ecWSAEWOULDBLOCK = -10035;
constexpr int ecWSAEINPROGRESS = -10036;
constexpr int ecWSAEALREADY = -10037;
constexpr int ecWSAENOTSOCK = -10038;
constexpr int ecWSAEDESTADDRREQ = -10039;
constexpr int ecWSAEMSGSIZE = -10040;
constexpr int ecWSAEPROTOTYPE = -10041;
constexpr int ecWSAENOPROTOOPT = -10042;
constexpr int ecWSAEPROTONOSUPPORT = -10043;
constexpr int ecWSAESOCKTNOSUPPORT = -10044;
constexpr int ecWSAEOPNOTSUPP = -10045;
constexpr int ecWSAEPFNOSUPPORT = -10046;
constexpr int ecWSAEAFNOSUPPORT = -10047;
constexpr int ecWSAEADDRINUSE = -10048;
constexpr int ecWSAEADDRNOTAVAIL = -10049;
constexpr int ecWSAENETDOWN = -10050;
constexpr int ecWSAENETUNREACH = -10051;
constexpr int ecWSAENETRESET = -10052;
constexpr int ecWSAECONNABORTED = -10053;
constexpr int ecWSAECONNRESET = -10054;
constexpr int ecWSAENOBUFS = -10055;
constexpr int ecWSAEISCONN = -10056;
constexpr int ecWSAENOTCONN = -10057;
constexpr int ecWSAESHUTDOWN = -10058;
constexpr int ecWSAETOOMANYREFS = -10059;
constexpr int ecWSAETIMEDOUT = -10060;
constexpr int ecWSAECONNREFUSED = -10061;
constexpr int ecWSAELOOP = -10062;
constexpr int ecWSAENAMETOOLONG = -10063;
constexpr int ecWSAEHOSTDOWN = -10064;
constexpr int ecWSAEHOSTUNREACH = -10065;
constexpr int ecWSAENOTEMPTY = -10066;
constexpr int ecWSAEPROCLIM = -10067;
constexpr int ecWSAEUSERS = -10068;
constexpr int ecWSAEDQUOT = -10069;
constexpr int ecWSAESTALE = -10070;
constexpr int ecWSAEREMOTE = -10071;
constexpr int ecWSASYSNOTREADY = -10091;
constexpr int ecWSAVERNOTSUPPORTED = -10092;
constexpr int ecWSANOTINITIALISED = -10093;
constexpr int ecWSAEDISCON = -10101;
constexpr int ecWSAHOST_NOT_FOUND = -11001;
constexpr int ecWSATRY_AGAIN = -11002;
constexpr int ecWSANO_RECOVERY = -11003;
constexpr int ecWSANO_DATA = -11004;

// Remote access.
constexpr int ecRasLoadFail = -13980;

// Telephony errors: X(name, number). Each raises ETapi<name> and is named
// ecTapi<name> = -number.
#define APD_TAPI_ERRORS(X)         \
  X(Allocated, 13801)              \
  X(BadDeviceID, 13802)            \
  X(BearerModeUnavail, 13803)      \
  X(CallUnavail, 13805)            \
  X(CompletionOverrun, 13806)      \
  X(ConferenceFull, 13807)         \
  X(DialBilling, 13808)            \
  X(DialDialtone, 13809)           \
  X(DialPrompt, 13810)             \
  X(DialQuiet, 13811)              \
  X(IncompatibleApiVersion, 13812) \
  X(IncompatibleExtVersion, 13813) \
  X(IniFileCorrupt, 13814)         \
  X(InUse, 13815)                  \
  X(InvalAddress, 13816)           \
  X(InvalAddressID, 13817)         \
  X(InvalAddressMode, 13818)       \
  X(InvalAddressState, 13819)      \
  X(InvalAppHandle, 13820)         \
  X(InvalAppName, 13821)           \
  X(InvalBearerMode, 13822)        \
  X(InvalCallComplMode, 13823)     \
  X(InvalCallHandle, 13824)        \
  X(InvalCallParams, 13825)        \
  X(InvalCallPrivilege, 13826)     \
  X(InvalCallSelect, 13827)        \
  X(InvalCallState, 13828)         \
  X(InvalCallStatelist, 13829)     \
  X(InvalCard, 13830)              \
  X(InvalCompletionID, 13831)      \
  X(InvalConfCallHandle, 13832)    \
  X(InvalConsultCallHandle, 13833) \
  X(InvalCountryCode, 13834)       \
  X(InvalDeviceClass, 13835)       \
  X(InvalDeviceHandle, 13836)      \
  X(InvalDialParams, 13837)        \
  X(InvalDigitList, 13838)         \
  X(InvalDigitMode, 13839)         \
  X(InvalDigits, 13840)            \
  X(InvalExtVersion, 13841)        \
  X(InvalGroupID, 13842)           \
  X(InvalLineHandle, 13843)        \
  X(InvalLineState, 13844)         \
  X(InvalLocation, 13845)          \
  X(InvalMediaList, 13846)         \
  X(InvalMediaMode, 13847)         \
  X(InvalMessageID, 13848)         \
  X(InvalParam, 13850)             \
  X(InvalParkID, 13851)            \
  X(InvalParkMode, 13852)          \
  X(InvalPointer, 13853)           \
  X(InvalPrivSelect, 13854)        \
  X(InvalRate, 13855)              \
  X(InvalRequestMode, 13856)       \
  X(InvalTerminalID, 13857)        \
  X(InvalTerminalMode, 13858)      \
  X(InvalTimeout, 13859)           \
  X(InvalTone, 13860)              \
  X(InvalToneList, 13861)          \
  X(InvalToneMode, 13862)          \
  X(InvalTransferMode, 13863)      \
  X(LineMapperFailed, 13864)       \
  X(NoConference, 13865)           \
  X(NoDevice, 13866)               \
  X(NoDriver, 13867)               \
  X(NoMem, 13868)                  \
  X(NoRequest, 13869)              \
  X(NotOwner, 13870)               \
  X(NotRegistered, 13871)          \
  X(OperationFailed, 13872)        \
  X(OperationUnavail, 13873)       \
  X(RateUnavail, 13874)            \
  X(ResourceUnavail, 13875)        \
  X(RequestOverrun, 13876)         \
  X(StructureTooSmall, 13877)      \
  X(TargetNotFound, 13878)         \
  X(TargetSelf, 13879)             \
  X(Uninitialized, 13880)          \
  X(UserUserInfoTooBig, 13881)     \
  X(Reinit, 13882)                 \
  X(AddressBlocked, 13883)         \
  X(BillingRejected, 13884)        \
  X(InvalFeature, 13885)           \
  X(NoMultipleInstance, 13886)     \
  X(Busy, 13928)                   \
  X(NotSet, 13929)                 \
  X(NoSelect, 13930)               \
  X(LoadFail, 13931)               \
  X(GetAddrFail, 13932)            \
  X(16Disabled, 13933)             \
  X(VoiceNotSupported, 13935)      \
  X(WaveFail, 13936)               \
  X(TranslateFail, 13942)

#define APD_TAPI_CODE(name, number) constexpr int ecTapi##name = -(number);
APD_TAPI_ERRORS(APD_TAPI_CODE)
#undef APD_TAPI_CODE

// ---------------------------------------------------------------------------
// Message numbers of the dispatch-log vocabulary (read with ErrorText).

constexpr int dlTypeNameBase = 15001;     // + event type 0 .. 19
constexpr int dlSubTypeNameBase = 15100;  // + subtype 1 .. 251 (0 has no name)
constexpr int dlColumnHeadings = 15501;
constexpr int dlColumnRule = 15502;
constexpr int dlModemStatusBitBase = 15601;  // + bit 0 .. 7
constexpr int dlTelnetOptionBase = 15700;    // + telnet option 0 .. dlTelnetOptionMax
constexpr int dlTelnetOptionMax = 42;

// ---------------------------------------------------------------------------
// Texts

// The text of a result code or message number, at most 255 characters. The
// code is taken as a 16-bit signed value and its absolute value is the entry
// id, so ErrorText(-10061) == ErrorText(10061). An id without an entry falls
// back to the C library's text for that error number (control characters
// made spaces, runs of spaces made one); with neither, the text is empty.
std::string ErrorText(int code);

// The fallback of ErrorText: the C library's description of an error number
// (at most 255 characters), cleaned by CleanSystemText; empty for a number
// the C library does not know.
std::string SystemErrorText(int number);
// Every character below 32 becomes a space, then of two adjacent spaces the
// first is dropped until none are left: a text ending in CR LF ends in one
// space.
std::string CleanSystemText(std::string text);

// ---------------------------------------------------------------------------
// Exceptions

// The base of the family. ErrorCode() is the (negative) code the exception
// was made from, or 0 when it was made from a message.
class EAPDException : public platform::Exception {
 public:
  // Message ErrorText(code).
  explicit EAPDException(int code);
  // ErrorCode 0.
  explicit EAPDException(const std::string& message);

  int ErrorCode() const { return errorCode_; }

 private:
  int errorCode_;
};

#define APD_EXCEPTION_CLASS(Name, Base) \
  class Name : public Base {            \
   public:                              \
    using Base::Base;                   \
  };

// The eleven families.
APD_EXCEPTION_CLASS(EGeneral, EAPDException)
APD_EXCEPTION_CLASS(EOpenComm, EAPDException)
APD_EXCEPTION_CLASS(ESerialIO, EAPDException)
APD_EXCEPTION_CLASS(EModem, EAPDException)
APD_EXCEPTION_CLASS(ETrigger, EAPDException)
APD_EXCEPTION_CLASS(EPacket, EAPDException)
APD_EXCEPTION_CLASS(EProtocol, EAPDException)
APD_EXCEPTION_CLASS(EINI, EAPDException)
APD_EXCEPTION_CLASS(EFax, EAPDException)
APD_EXCEPTION_CLASS(ETapi, EAPDException)
APD_EXCEPTION_CLASS(ERas, EAPDException)

// General.
APD_EXCEPTION_CLASS(EBadArgument, EGeneral)
APD_EXCEPTION_CLASS(EGotQuitMsg, EGeneral)
APD_EXCEPTION_CLASS(EBufferTooBig, EGeneral)
APD_EXCEPTION_CLASS(EPortNotAssigned, EGeneral)
APD_EXCEPTION_CLASS(EInternal, EGeneral)
APD_EXCEPTION_CLASS(EModemNotAssigned, EGeneral)
APD_EXCEPTION_CLASS(EPhonebookNotAssigned, EGeneral)
APD_EXCEPTION_CLASS(ECannotUseWithWinSock, EGeneral)

// Opening a port.
APD_EXCEPTION_CLASS(EBadId, EOpenComm)
APD_EXCEPTION_CLASS(EBaudRate, EOpenComm)
APD_EXCEPTION_CLASS(EByteSize, EOpenComm)
APD_EXCEPTION_CLASS(EDefault, EOpenComm)
APD_EXCEPTION_CLASS(EHardware, EOpenComm)
APD_EXCEPTION_CLASS(EMemory, EOpenComm)
APD_EXCEPTION_CLASS(ECommNotOpen, EOpenComm)
APD_EXCEPTION_CLASS(EAlreadyOpen, EOpenComm)
APD_EXCEPTION_CLASS(ENoHandles, EOpenComm)
APD_EXCEPTION_CLASS(ENoTimers, EOpenComm)
APD_EXCEPTION_CLASS(ENoPortSelected, EOpenComm)
APD_EXCEPTION_CLASS(ENotOpenedByTapi, EOpenComm)

// Device input/output and dispatcher buffers.
APD_EXCEPTION_CLASS(ENullApi, ESerialIO)
APD_EXCEPTION_CLASS(ERegisterHandlerFailed, ESerialIO)
APD_EXCEPTION_CLASS(EPutBlockFail, ESerialIO)
APD_EXCEPTION_CLASS(EGetBlockFail, ESerialIO)
APD_EXCEPTION_CLASS(EOutputBufferTooSmall, ESerialIO)
APD_EXCEPTION_CLASS(EBufferIsEmpty, ESerialIO)
APD_EXCEPTION_CLASS(ETracingNotEnabled, ESerialIO)
APD_EXCEPTION_CLASS(ELoggingNotEnabled, ESerialIO)
APD_EXCEPTION_CLASS(EBaseAddressNotSet, ESerialIO)

// Modem.
APD_EXCEPTION_CLASS(EModemNotStarted, EModem)
APD_EXCEPTION_CLASS(EModemBusy, EModem)
APD_EXCEPTION_CLASS(EModemNotDialing, EModem)
APD_EXCEPTION_CLASS(ENotDialing, EModem)
APD_EXCEPTION_CLASS(EAlreadyDialing, EModem)
APD_EXCEPTION_CLASS(EModemNotResponding, EModem)
APD_EXCEPTION_CLASS(EModemRejectedCommand, EModem)
APD_EXCEPTION_CLASS(EModemStatusMismatch, EModem)

// Triggers.
APD_EXCEPTION_CLASS(ETriggerTooLong, ETrigger)
APD_EXCEPTION_CLASS(EBadTriggerHandle, ETrigger)

// Data packets: raised by the packet itself with codes -5501 .. -5505.
APD_EXCEPTION_CLASS(EInvalidProperty, EPacket)

// INI-file database.
APD_EXCEPTION_CLASS(EKeyTooLong, EINI)
APD_EXCEPTION_CLASS(EDataTooLarge, EINI)
APD_EXCEPTION_CLASS(EIniWrite, EINI)
APD_EXCEPTION_CLASS(EIniRead, EINI)
APD_EXCEPTION_CLASS(ERecordExists, EINI)
APD_EXCEPTION_CLASS(ERecordNotFound, EINI)
APD_EXCEPTION_CLASS(EDatabaseFull, EINI)
APD_EXCEPTION_CLASS(EDatabaseEmpty, EINI)
APD_EXCEPTION_CLASS(EBadFieldList, EINI)
APD_EXCEPTION_CLASS(EBadFieldForIndex, EINI)

// Fax.
APD_EXCEPTION_CLASS(EFaxBadFormat, EFax)
APD_EXCEPTION_CLASS(EBadGraphicsFormat, EFax)
APD_EXCEPTION_CLASS(EConvertAbort, EFax)
APD_EXCEPTION_CLASS(EUnpackAbort, EFax)
APD_EXCEPTION_CLASS(ECantMakeBitmap, EFax)
APD_EXCEPTION_CLASS(EInvalidPageNumber, EFax)
APD_EXCEPTION_CLASS(EFaxBadMachine, EFax)
APD_EXCEPTION_CLASS(EFaxBadModemResult, EFax)
APD_EXCEPTION_CLASS(EFaxTrainError, EFax)
APD_EXCEPTION_CLASS(EFaxInitError, EFax)
APD_EXCEPTION_CLASS(EFaxBusy, EFax)
APD_EXCEPTION_CLASS(EFaxVoiceCall, EFax)
APD_EXCEPTION_CLASS(EFaxDataCall, EFax)
APD_EXCEPTION_CLASS(EFaxNoDialTone, EFax)
APD_EXCEPTION_CLASS(EFaxNoCarrier, EFax)
APD_EXCEPTION_CLASS(EFaxSessionError, EFax)
APD_EXCEPTION_CLASS(EFaxPageError, EFax)

// Telephony: one leaf per code of APD_TAPI_ERRORS.
#define APD_TAPI_CLASS(name, number) APD_EXCEPTION_CLASS(ETapi##name, ETapi)
APD_TAPI_ERRORS(APD_TAPI_CLASS)
#undef APD_TAPI_CLASS

// Remote access.
APD_EXCEPTION_CLASS(ERasLoadFail, ERas)

#undef APD_EXCEPTION_CLASS

// The run time's own input/output failure: ErrorCode() is the positive
// run-time error number (2 for "File not found").
class EInOutError : public platform::Exception {
 public:
  EInOutError(const std::string& message, int errorCode)
      : platform::Exception(message), errorCode_(errorCode) {}

  int ErrorCode() const { return errorCode_; }

 private:
  int errorCode_;
};

// The run time's out-of-memory failure.
class EOutOfMemory : public platform::Exception {
 public:
  EOutOfMemory() : platform::Exception("Out of memory") {}
};

// ---------------------------------------------------------------------------
// Turning a result code into an exception

// Returns code when it is 0 or positive, or when the owner is being loaded
// from its stored form (a component must not raise while it is read);
// otherwise raises the exception that belongs to the code and does not
// return: the leaf class of the code, EInOutError/EOutOfMemory for run-time
// input/output numbers, else EAPDException("Vorn exception").
int CheckResultCode(bool ownerLoading, int code);

// The same for an owner that knows whether it is being loaded; a null owner
// counts as not loading.
template <typename TOwner>
requires requires(const TOwner& owner) {
  { owner.Loading() } -> std::convertible_to<bool>;
}
int CheckResultCode(const TOwner* owner, int code) {
  return CheckResultCode(owner != nullptr && owner->Loading(), code);
}
