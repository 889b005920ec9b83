// The programs' logging: system log, console (stderr) and the rolling file log in
// <DataFolder>/Logs. Messages are data, never format strings.
#pragma once

#include "common/LogFileSink.h"

#include <QString>
#include <string_view>

namespace zuvo {

struct LogOptions {
  LogFileOptions file;
  bool systemLog = true;  // tests and benchmarks keep the user's journal clean
  bool console = true;
};
// Sets up the three loggers for the program with this bundle identifier
// ("com.roza.zuvoeditor", "com.roza.zuvolocalserver", "com.roza.zuvoscanner"), the file log
// in logsFolder (paths::logsFolder() for the programs). programName is the system log's
// ident. Call once, first thing at start-up. Until then messages go to stderr only. Errors
// the platform layers report are logged as errors from then on.
// Options: other file limits, clock or loggers (tests, benchmarks).
void setupLog(const QString& logsFolder, const QString& bundleIdentifier, const QString& programName,
              const LogOptions& options = {});

// Written to every logger before the call returns.
void logError(const QString& message);
void logError(std::string_view message);
void logError(const char* message);  // UTF-8
// Returns at once; written in order with the errors.
void logInfo(const QString& message);
void logInfo(std::string_view message);
void logInfo(const char* message);  // UTF-8

// The system log only (syslog and stderr), not the file log. Written before it returns.
void logSystem(const QString& message);

// A value from outside (a request's token, say) as it may stand in a log line: control
// characters (line breaks included) escaped as \n, \r, \t or \u00XX, and cut after 1 KiB
// of UTF-8 with "... (N more bytes)" for the rest.
QString loggableValue(const QString& value);

// Waits until every message logged so far is written (tests and program exit).
void flushLog();

}  // namespace zuvo
