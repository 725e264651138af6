// The FTP client's reply handling: multi-line assembly, the bound of the
// reply text and the 257 path, fed line by line as the reply packet hands
// them on. The client is not connected; its posted reports are dispatched
// after every input, so nothing piles up between inputs.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "ftp/AdFtp.h"
#include "platform/Messages.h"
#include "socket/AwWnsock.h"

namespace {

class ReplyClient : public TApdFtpClient {
 public:
  ReplyClient() : TApdFtpClient(nullptr) {
    OnFtpStatus = [](TObject*, TFtpStatusCode, const char* info) { Check(info); };
    OnFtpError = [](TObject*, std::int32_t, const char* text) { Check(text); };
  }
  void Feed(const std::string& line) {
    std::int32_t code = 0;
    if (line.size() >= 3 && line[0] >= '0' && line[0] <= '9' && line[1] >= '0' && line[1] <= '9' &&
        line[2] >= '0' && line[2] <= '9')
      code = (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
    if (FtpState == psClosed || FtpState == psIdle) FtpState = psCommand;
    ProcessReply(code, line);
  }
  static void Check(const char* text) {
    // Every text the client reports is bounded by its reply buffer.
    if (text != nullptr && std::strlen(text) > static_cast<std::size_t>(MaxReplyText)) std::abort();
  }
};

void Drain() {
  platform::MSG msg;
  while (platform::PeekMessage(msg, true))
    platform::DispatchMessage(msg);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static ReplyClient* client = [] {
    WinsockDispatcherStartup();
    return new ReplyClient;
  }();
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  std::size_t at = 0;
  while (at < bytes.size()) {
    std::size_t end = bytes.find('\n', at);
    end = end == std::string::npos ? bytes.size() : end + 1;
    client->Feed(bytes.substr(at, end - at));
    at = end;
  }
  Drain();
  return 0;
}
