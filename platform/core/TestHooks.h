// The seams through which tests steer the programs: one environment variable each, read here
// and nowhere else. Tests that start a program set the variable in its environment; tests
// that run the code in their own process call the setter instead.
//
// They exist only in a test build (CMake option ZUVO_TEST_HOOKS, which defines the macro of
// that name for everything that links zuvo_platform_core). A deployment build gets the stubs at
// the end of this file: each says "no seam", no variable is read and no setter exists; the
// alerts compile their log out altogether.
#pragma once

#include <QString>
#include <chrono>
#include <optional>

#ifdef ZUVO_TEST_HOOKS

namespace zuvo::testhooks {
// Its own mangled names, so code built without the seams can never reach these by linking.
inline namespace seams {

// ZUVO_ALERT_LOG=<file>: every alert is appended to the file as one JSON line and answered at
// once with its first button, except a warning (a question before a step that cannot be
// undone, such as "Delete"): that one gets its "Cancel" (or no button) unless the answer
// hook names one of its buttons. Set by the tests of every program that shows alerts.
QString alertLogFile();
void setAlertLogFile(const QString& file);

// ZUVO_ALERT_HOLD=1: with the alert log, an alert is logged but never answered, as by a user
// who leaves it open: a modal one holds its caller in its event loop for good. Set by the
// tests that show the editor's document flow goes on around an open alert.
bool holdAlerts();
void setHoldAlerts(bool hold);

// ZUVO_ALERT_DELAY_MS=<n>: an alert recorded in the alert log is answered only after n ms, as
// a person would take. Set by the tests that show alerts never hold up request handling.
std::optional<std::chrono::milliseconds> alertDelay();
void setAlertDelay(std::optional<std::chrono::milliseconds> delay);

// ZUVO_ALERT_ANSWER=<button text>: with the alert log set, an alert that has this button is
// answered with it instead of the first. Set by tests that answer "Cancel" to a question, and
// by those that answer "Delete" to a warning.
QString alertAnswer();
void setAlertAnswer(const QString& button);

// ZUVO_TEST_CA_FILE=<PEM file>: certificates the HTTP client trusts besides the system's (the
// loopback stand-ins' test CA). Set by the server's start-up tests and `make demo`.
QString extraCaFile();
void setExtraCaFile(const QString& file);

// ZUVO_HTTP_TIMEOUT_MS=<n>: the HTTP client's time-out instead of 60 s. Set by time-out tests.
std::optional<std::chrono::milliseconds> httpTimeout();
void setHttpTimeout(std::optional<std::chrono::milliseconds> timeout);

// ZUVO_STARTUP_RETRY_MS=<n>: the server's first pause before its start-up chain is tried
// again is n ms instead of 30 s. Set by the server's start-up tests.
std::optional<std::chrono::milliseconds> startupRetryPause();

// ZUVO_HTTP_REQUEST_TIMEOUT_MS=<n>: the HTTP server closes a connection that has not sent a
// whole request after n ms instead of 30 s. Set by the bridge server's idle-connection tests.
std::optional<std::chrono::milliseconds> httpRequestTimeout();

// ZUVO_OFFICE_HEADLESS=1: the word-processor bridge starts LibreOffice without windows.
// Set by the tests that drive the real LibreOffice.
bool officeHeadless();

// ZUVO_OFFICE_TIMEOUT_MS=<n>: the bridge's bound on one request to LibreOffice instead of
// 100 s. Set by the tests of a LibreOffice that does not answer.
std::optional<std::chrono::milliseconds> officeTimeout();

// ZUVO_WATCHER_BACKEND=inotify: the folder watcher uses inotify even where fanotify works.
// Set by the watcher tests of the fallback.
bool forceInotifyWatcher();
void setForceInotifyWatcher(bool force);

}  // namespace seams
}  // namespace zuvo::testhooks

#else

namespace zuvo::testhooks {
inline namespace none {

inline QString extraCaFile() { return {}; }
constexpr std::optional<std::chrono::milliseconds> httpTimeout() { return std::nullopt; }
constexpr std::optional<std::chrono::milliseconds> startupRetryPause() { return std::nullopt; }
constexpr std::optional<std::chrono::milliseconds> httpRequestTimeout() { return std::nullopt; }
constexpr bool forceInotifyWatcher() { return false; }
constexpr bool officeHeadless() { return false; }
constexpr std::optional<std::chrono::milliseconds> officeTimeout() { return std::nullopt; }

}  // namespace none
}  // namespace zuvo::testhooks

#endif
