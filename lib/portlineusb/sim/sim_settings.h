// Settings of the simulated splicer, read from PortlineSim.ini beside its DLL:
//
//   [Splicer]
//   ReportFile=report.txt        ; the report to replay; relative to the ini's folder
//   BytesPerRead=64              ; 1 to 64 bytes handed out per read
//   RefuseCreates=0              ; how many create calls fail before one succeeds
//   DisconnectAfterBytes=0       ; unplug after this many bytes of a connection (0: never)
//   StallAtByte=0                ; the IN pipe halts once, when the report reaches
//                                ; this byte (0: never), until the pipe is reset
//   CallLog=                     ; optional file that records creates, writes and closes
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace portline::sim {

struct SimSettings {
  std::string reportFile;
  int bytesPerRead = 64;
  int refuseCreates = 0;
  std::int64_t disconnectAfterBytes = 0;
  std::int64_t stallAtByte = 0;
  std::string callLog;
};

struct ParsedSettings {
  SimSettings settings;
  std::string error;  // empty when the settings are usable
  bool Usable() const { return error.empty(); }
};

ParsedSettings ParseSimSettings(std::string_view iniText);

}  // namespace portline::sim
