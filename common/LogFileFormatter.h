// The file log's line: "<yyyy/MM/dd HH:mm:ss:SSS> | <level word> | <text>\n".
#pragma once

#include <chrono>
#include <string>
#include <string_view>

namespace zuvo {

// Message flags, as the log calls set them.
enum LogFlag : int {
  LogFlagError = 1,
  LogFlagWarning = 2,
  LogFlagInfo = 4,
  LogFlagDebug = 8,
  LogFlagVerbose = 16,
};

class LogFileFormatter {
 public:
  // The seven-character level word for a flag; any value other than a single known
  // flag (16, combinations, 0) gives "Verbose".
  static std::string_view levelWord(int flag);

  // The whole line. The time is shown in the user's time zone (TZ), Gregorian calendar,
  // 24-hour clock and ASCII digits whatever the locale; the text is kept as it is.
  static std::string formatLogMessage(int flag, std::chrono::system_clock::time_point time,
                                      std::string_view text);

  // Same, appended to out (the file sink reuses one buffer).
  static void appendLogMessage(std::string& out, int flag,
                               std::chrono::system_clock::time_point time, std::string_view text);
};

}  // namespace zuvo
