// The distribution FTP server the installation window downloads from.
//
// The program's own server is compiled in: CompiledDistributionServer()
// returns the values the configure step took from the TKV_FTP_HOST,
// TKV_FTP_USER, TKV_FTP_PASSWORD and TKV_FTP_SERVICE cache options and
// checked there. Nothing about the server is read at run time. The window
// takes the server as a value, so a test can aim it at a server of its own.
#pragma once

#include <string>

struct TDistributionServer {
  std::string ServerAddress;   // host name or dotted address
  std::string UserName;        // 6 lower-case letters
  std::string Password;        // 8 letters and digits
  std::string WsPort = "ftp";  // service name or port number
};

// The server of this build. Any thread; the values never change.
TDistributionServer CompiledDistributionServer();
