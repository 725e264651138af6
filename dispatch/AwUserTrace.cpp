// The trace, the dispatch log and their dump files.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "dispatch/AdSrMgr.h"
#include "dispatch/AwUser.h"
#include "dispatch/AwUserInternal.h"
#include "platform/Files.h"

using Lock = std::lock_guard<std::recursive_mutex>;

namespace {

// ---------------------------------------------------------------------------
// The dump file: a text file with a 512-byte buffer and CR LF line ends.
// Failures are run-time input/output error numbers.

class DumpFile {
 public:
  // 0, or the negative run-time error of the open.
  std::int32_t Open(const std::string& fileName, bool append) {
    const std::string path = platform::NativePath(fileName);
    const bool exists = platform::FileExists(fileName);
    file_ = std::fopen(path.c_str(), append && exists ? "ab" : "wb");
    if (!file_) return -platform::RunTimeError(errno);
    std::setvbuf(file_, nullptr, _IOFBF, 512);
    return 0;
  }
  void Write(std::string_view text) {
    if (!text.empty() && std::fwrite(text.data(), 1, text.size(), file_) != text.size() &&
        error_ == 0)
      error_ = errno;
  }
  void EndLine() { Write("\r\n"); }
  void WriteLine(std::string_view text) {
    Write(text);
    EndLine();
  }
  // 0, or the negative run-time error of the writes and the close.
  std::int32_t Close() {
    if (std::fclose(file_) != 0 && error_ == 0) error_ = errno ? errno : EIO;
    file_ = nullptr;
    return error_ ? -platform::RunTimeError(error_) : 0;
  }
  ~DumpFile() {
    if (file_) std::fclose(file_);
  }

 private:
  std::FILE* file_ = nullptr;
  int error_ = 0;
};

// A byte as the dumps show it, and the columns it takes.
std::string RenderByte(std::uint8_t b, bool inHex, bool allHex) {
  static const char digits[] = "0123456789ABCDEF";
  const std::uint8_t low = inHex ? '!' : ' ';
  if (allHex || ((b < low || b > '~') && inHex))
    return std::string{'[', digits[b >> 4], digits[b & 15], ']'};
  if (b < low || b > '~') return "[" + std::to_string(b) + "]";
  return std::string(1, static_cast<char>(b));
}

// An entry of the error-text resource; empty when it has none (or the
// resource cannot be read).
std::string ResourceText(int id) {
  try {
    return Utf8Prefix(ErrorStringResource().GetString(static_cast<std::uint32_t>(id)), 255);
  } catch (const std::exception&) {
    return std::string();
  }
}

std::string Formatted(const char* format, const char* a, const char* b, const char* c,
                      std::uint32_t d) {
  char line[512];
  std::snprintf(line, sizeof line, format, a, b, c, static_cast<unsigned>(d));
  return line;
}

}  // namespace

// ---------------------------------------------------------------------------
// Trace

std::int32_t TApdBaseDispatcher::BeginTrace(std::uint32_t Count) {
  Lock data(DataLock);
  if (TraceAllocated) {
    TracePos = 0;
    TraceWrapped = false;
  } else {
    if (Count > MaxTraceEntries) return ecBadArgument;
    TraceBuffer.assign(Count, TTraceEntry{});
    TraceAllocated = true;
    TraceMax = Count;
    TracePos = 0;
    TraceWrapped = false;
  }
  TraceOn = true;
  return 0;
}

void TApdBaseDispatcher::RecordTraceByte(char Kind, std::uint8_t Data) {
  Lock data(DataLock);
  // A trace of no entries records nothing.
  if (!TraceAllocated || TraceMax == 0) return;
  TraceBuffer[static_cast<std::size_t>(TracePos)] = TTraceEntry{Kind, Data};
  if (static_cast<std::uint32_t>(++TracePos) >= TraceMax) {
    TracePos = 0;
    TraceWrapped = true;
  }
}

std::int32_t TApdBaseDispatcher::EmptyTrace() {
  Lock data(DataLock);
  TracePos = 0;
  TraceWrapped = false;
  return 0;
}

void TApdBaseDispatcher::DiscardTrace() {
  Lock data(DataLock);
  TraceOn = false;
  TraceBuffer.clear();
  TraceBuffer.shrink_to_fit();
  TraceAllocated = false;
  TraceMax = 0;
  TracePos = 0;
  TraceWrapped = false;
}

void TApdBaseDispatcher::ResumeTrace() {
  Lock data(DataLock);
  if (TraceAllocated) TraceOn = true;
}

void TApdBaseDispatcher::PauseTrace() {
  Lock data(DataLock);
  TraceOn = false;
}

std::int32_t TApdBaseDispatcher::WriteTraceFile(const std::string& FileName, bool InHex,
                                                bool AllHex) {
  return WriteTrace(FileName, InHex, AllHex, false);
}

std::int32_t TApdBaseDispatcher::AppendTraceFile(const std::string& FileName, bool InHex,
                                                 bool AllHex) {
  return WriteTrace(FileName, InHex, AllHex, true);
}

std::int32_t TApdBaseDispatcher::WriteTrace(const std::string& FileName, bool InHex, bool AllHex,
                                            bool Append) {
  Lock data(DataLock);
  if (!TraceAllocated) return 0;
  TraceOn = false;
  const std::uint32_t start = TraceWrapped ? static_cast<std::uint32_t>(TracePos) : 0;
  if (!TraceWrapped && TracePos == 0) {
    DiscardTrace();
    return 0;
  }
  DumpFile file;
  if (std::int32_t r = file.Open(FileName, Append); r < 0) {
    DiscardTrace();
    return r;
  }
  char previous = 0;
  bool first = true;
  std::uint32_t column = 0;
  std::uint32_t i = start;
  do {
    const TTraceEntry& e = TraceBuffer[i];
    if (first || e.Kind != previous) {
      if (!first) {
        file.EndLine();
        file.EndLine();
      }
      column = 0;
      if (e.Kind == 'R')
        file.WriteLine("Receive: ");
      else if (e.Kind == 'T')
        file.WriteLine("Transmit: ");
      else
        file.WriteLine(std::string("Special-") + e.Kind + ": ");
      previous = e.Kind;
      first = false;
    }
    const std::string text = RenderByte(e.Data, InHex, AllHex);
    column += static_cast<std::uint32_t>(text.size());
    if (column > 78) {
      file.EndLine();
      column = static_cast<std::uint32_t>(text.size());
    }
    file.Write(text);
    i = (i + 1) % TraceMax;
  } while (i != static_cast<std::uint32_t>(TracePos));
  const std::int32_t result = file.Close();
  DiscardTrace();
  return result;
}

// ---------------------------------------------------------------------------
// Dispatch log

void TApdBaseDispatcher::BeginLog(std::uint32_t Size) {
  Lock data(DataLock);
  if (LogAllocated) {
    LogHead = LogTail = 0;
    LogFree = LogBufSize;
    return;
  }
  LogBuffer.assign(Size, 0);
  LogScratch.assign(std::max(InQueueSize, OutQueueSize), 0);
  LogAllocated = true;
  LogBufSize = Size;
  LogFree = Size;
  LogHead = LogTail = 0;
  LogOn = true;
}

bool TApdBaseDispatcher::AppendLogPiece(const void* Src, std::uint32_t N) {
  if (N >= LogBufSize || N > LogFree) return false;
  const auto* src = static_cast<const std::uint8_t*>(Src);
  const std::uint32_t first = std::min(N, LogBufSize - LogHead);
  std::memcpy(LogBuffer.data() + LogHead, src, first);
  std::memcpy(LogBuffer.data(), src + first, N - first);
  LogHead = (LogHead + N) % LogBufSize;
  LogFree -= N;
  return true;
}

bool TApdBaseDispatcher::TakeLogBytes(void* Dest, std::uint32_t N) {
  auto* dest = static_cast<std::uint8_t*>(Dest);
  const std::uint32_t first = std::min(N, LogBufSize - LogTail);
  std::memcpy(dest, LogBuffer.data() + LogTail, first);
  std::memcpy(dest + first, LogBuffer.data(), N - first);
  LogTail = (LogTail + N) % LogBufSize;
  LogFree += N;
  return true;
}

void TApdBaseDispatcher::RecordLogEntry(std::uint8_t Type, std::uint8_t SubType, std::uint32_t Data,
                                        const void* Payload, std::uint32_t PayloadLength) {
  Lock data(DataLock);
  if (!LogAllocated) return;
  if (!Payload) PayloadLength = 0;
  DispatchLogEntry header;
  header.Type = Type;
  header.SubType = SubType;
  header.Time = MsClock() - TimeBase;
  header.Data = Data;
  header.PayloadLength = PayloadLength;
  // An entry that cannot fit whole is dropped whole, so no header is left
  // claiming a payload that is not there.
  const std::uint64_t total = sizeof header + static_cast<std::uint64_t>(PayloadLength);
  if (sizeof header >= LogBufSize || PayloadLength >= LogBufSize || total > LogBufSize) return;
  // Room for the whole entry first, so that the header just written is
  // never the oldest entry that the payload pushes out.
  while (LogFree < total) {
    DispatchLogEntry oldest;
    TakeLogBytes(&oldest, sizeof oldest);
    LogTail = (LogTail + oldest.PayloadLength) % LogBufSize;
    LogFree += oldest.PayloadLength;
  }
  AppendLogPiece(&header, sizeof header);
  if (PayloadLength > 0) AppendLogPiece(Payload, PayloadLength);
}

void TApdBaseDispatcher::LogEvent(std::uint8_t Type, std::uint8_t SubType, std::uint32_t Data,
                                  const void* Payload, std::uint32_t PayloadLength) {
  Lock data(DataLock);
  if (LogOn) RecordLogEntry(Type, SubType, Data, Payload, PayloadLength);
}

void TApdBaseDispatcher::EmptyLog() {
  Lock data(DataLock);
  LogHead = LogTail = 0;
  LogFree = LogBufSize;
}

void TApdBaseDispatcher::DiscardLog() {
  Lock data(DataLock);
  LogOn = false;
  LogBuffer.clear();
  LogBuffer.shrink_to_fit();
  LogScratch.clear();
  LogScratch.shrink_to_fit();
  LogAllocated = false;
  LogBufSize = 0;
  LogFree = 0;
  LogHead = LogTail = 0;
}

void TApdBaseDispatcher::ResumeLog() {
  Lock data(DataLock);
  if (LogAllocated) LogOn = true;
}

void TApdBaseDispatcher::PauseLog() {
  Lock data(DataLock);
  LogOn = false;
}

std::int32_t TApdBaseDispatcher::WriteLogFile(const std::string& FileName, bool InHex,
                                              bool AllHex) {
  return WriteLog(FileName, InHex, AllHex, false);
}

std::int32_t TApdBaseDispatcher::AppendLogFile(const std::string& FileName, bool InHex,
                                               bool AllHex) {
  return WriteLog(FileName, InHex, AllHex, true);
}

std::int32_t TApdBaseDispatcher::WriteLog(const std::string& FileName, bool InHex, bool AllHex,
                                          bool Append) {
  Lock data(DataLock);
  if (!LogAllocated || LogFree == LogBufSize) {
    DiscardLog();
    return 0;
  }
  LogOn = false;
  DumpFile file;
  if (std::int32_t r = file.Open(FileName, Append); r < 0) return r;

  file.WriteLine(std::string("VORN ") + ApdVersionStr);
  file.WriteLine("Compiler : " + CompilerDescription());
  file.WriteLine("Operating System : " + Utf8Prefix(SystemDescription(), 80));
  file.WriteLine(ResourceText(dlColumnHeadings));
  file.WriteLine(ResourceText(dlColumnRule));

  while (LogFree < LogBufSize) {
    DispatchLogEntry e;
    TakeLogBytes(&e, sizeof e);
    if (LogScratch.size() < e.PayloadLength) LogScratch.resize(e.PayloadLength);
    TakeLogBytes(LogScratch.data(), e.PayloadLength);

    // Milliseconds as seconds with three decimals: 1234 gives 0001.234.
    char digits[16];
    std::snprintf(digits, sizeof digits, "%07u", static_cast<unsigned>(e.Time));
    std::string time(digits);
    time.insert(4, ".");
    const std::string type = ResourceText(dlTypeNameBase + e.Type);
    const std::string subType =
        e.SubType == 0 ? std::string() : ResourceText(dlSubTypeNameBase + e.SubType);
    std::string line =
        Formatted("%8s  %-8s  %-12s  %08X  ", time.c_str(), type.c_str(), subType.c_str(), e.Data);

    if (e.PayloadLength == 0) {
      if (e.Type == dtTelnet)
        line += "[" +
                (e.Data <= static_cast<std::uint32_t>(dlTelnetOptionMax)
                     ? ResourceText(dlTelnetOptionBase + static_cast<int>(e.Data))
                     : std::string()) +
                "]";
      file.WriteLine(line);
      continue;
    }
    if (e.SubType == dstStatusTrigger && (e.Type == dtTriggerAlloc || e.Type == dtTriggerDispose)) {
      static const char* const kinds[] = {"(Not active)",         "(Modem status)",
                                          "(Line status)",        "(Output buffer free)",
                                          "(Output buffer used)", "(Output sent)"};
      if (LogScratch[0] < std::size(kinds)) line += kinds[LogScratch[0]];
      file.WriteLine(line);
      continue;
    }
    file.Write(line);
    // Entries of the user's own type are written as characters.
    const bool allHex = AllHex && e.Type != dtUser;
    // The payload starts at column 45 and wraps past column 78, so a line
    // holds 33 columns of bytes.
    std::uint32_t column = 45;
    for (std::uint32_t i = 0; i < e.PayloadLength; ++i) {
      const std::string text = RenderByte(LogScratch[i], InHex, allHex);
      column += static_cast<std::uint32_t>(text.size());
      if (column > 78) {
        file.EndLine();
        file.Write(std::string(44, ' '));
        column = static_cast<std::uint32_t>(text.size()) + 45;
      }
      file.Write(text);
    }
    if (e.SubType == dstModemStatus) {
      std::string bits;
      for (int bit = 0; bit < 8; ++bit)
        if (e.Data & (1u << bit)) bits += ResourceText(dlModemStatusBitBase + bit);
      if (!bits.empty() && bits.back() == ' ') bits.pop_back();
      file.Write("(" + bits + ")");
    }
    file.EndLine();
  }
  const std::int32_t result = file.Close();
  DiscardLog();
  return result;
}

// ---------------------------------------------------------------------------
// Descriptions of the build and the system

std::string CompilerDescription() {
#if defined(__clang__)
  return std::string("Clang C++ ") + __clang_version__;
#elif defined(__GNUC__)
  return "GNU C++ " + std::to_string(__GNUC__) + "." + std::to_string(__GNUC_MINOR__) + "." +
         std::to_string(__GNUC_PATCHLEVEL__);
#else
  return "C++";
#endif
}

std::string SystemDescription() {
  // The kernel's name and release, as "Linux 6.1 6.1.0-18-amd64": the name,
  // the major and minor version and the full release in the place of the
  // service-pack text.
  auto read = [](const char* path) {
    std::ifstream in(path);
    std::string text;
    std::getline(in, text);
    return text;
  };
  const std::string name = read("/proc/sys/kernel/ostype");
  const std::string release = read("/proc/sys/kernel/osrelease");
  if (name.empty() || release.empty()) return "Unknown";
  unsigned major = 0, minor = 0;
  std::sscanf(release.c_str(), "%u.%u", &major, &minor);
  return name + " " + std::to_string(major) + "." + std::to_string(minor) + " " + release;
}
