#include "common/LogFileFormatter.h"

#include <ctime>

namespace zuvo {
namespace {

void appendNumber(std::string& out, long long value, int width) {
  char digits[24];
  int n = 0;
  unsigned long long v = value < 0 ? 0ULL - static_cast<unsigned long long>(value) : value;
  do {
    digits[n++] = static_cast<char>('0' + v % 10);
    v /= 10;
  } while (v != 0);
  if (value < 0) out.push_back('-');
  for (int i = n; i < width; ++i) out.push_back('0');
  while (n > 0) out.push_back(digits[--n]);
}

}  // namespace

std::string_view LogFileFormatter::levelWord(int flag) {
  switch (flag) {
    case LogFlagError: return "Error  ";
    case LogFlagWarning: return "Warning";
    case LogFlagInfo: return "Info   ";
    case LogFlagDebug: return "Debug  ";
    default: return "Verbose";
  }
}

void LogFileFormatter::appendLogMessage(std::string& out, int flag,
                                        std::chrono::system_clock::time_point time,
                                        std::string_view text) {
  using namespace std::chrono;
  // Floor, so times before 1970 keep a millisecond field of 0..999.
  const auto ms = floor<milliseconds>(time).time_since_epoch().count();
  long long secs = ms / 1000;
  long long milli = ms % 1000;
  if (milli < 0) {
    milli += 1000;
    --secs;
  }
  // Digits are written by hand: locale-aware formatting could change digits and calendar.
  const std::time_t t = static_cast<std::time_t>(secs);
  std::tm tm{};
  if (localtime_r(&t, &tm) == nullptr) gmtime_r(&t, &tm);
  out.reserve(out.size() + 36 + text.size());
  appendNumber(out, tm.tm_year + 1900LL, 4);
  out.push_back('/');
  appendNumber(out, tm.tm_mon + 1, 2);
  out.push_back('/');
  appendNumber(out, tm.tm_mday, 2);
  out.push_back(' ');
  appendNumber(out, tm.tm_hour, 2);
  out.push_back(':');
  appendNumber(out, tm.tm_min, 2);
  out.push_back(':');
  appendNumber(out, tm.tm_sec, 2);
  out.push_back(':');
  appendNumber(out, milli, 3);
  out.append(" | ");
  out.append(levelWord(flag));
  out.append(" | ");
  out.append(text);
  out.push_back('\n');
}

std::string LogFileFormatter::formatLogMessage(int flag, std::chrono::system_clock::time_point time,
                                               std::string_view text) {
  std::string line;
  appendLogMessage(line, flag, time, text);
  return line;
}

}  // namespace zuvo
