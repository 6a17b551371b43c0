// The result codes of every layer, one name per value. Operations return a
// 32-bit signed code and 0 is success. The values never change: users of the
// device interface built against it compare them, and log lines print them.
#pragma once

constexpr int kResultOk = 0;

// Transport and controller.
constexpr int kResultNotSupported = 1;     // the default answer of an operation a transport lacks
constexpr int kResultBusy = 2;             // the named mutex was not obtained ("Device is busy.")
constexpr int kResultTimeout = 3;          // a completion wait timed out, or a feature request failed
constexpr int kResultPending = 4;          // an overlapped transfer is still pending (transport primitives only)
constexpr int kResultBadAnswer = 5;        // the controller answered wrongly
constexpr int kResultNoTransport = 6;      // Disconnect before any Connect
constexpr int kResultNotTaken = 7;         // a collection was not taken for a role
constexpr int kResultNoSupportDevice = 8;  // no supported device among the HID interfaces
constexpr int kResultPairNumTooLong = 9;   // a pair number too long for the fixed buffers
constexpr int kResultNotConnected = 0x1004;  // no open device ("Device is not connected.")
// Building a transport entry or opening a role failed; a controller command
// of the push or of a diagnostic action failed.
constexpr int kResultFailed = 0xFFFF;

// The user's wake setting and the push: the user lookup or the push gave up
// after its attempts, or the user's key could not be opened.
constexpr int kResultNotDone = -1;
// The user's key holds no readable 32-bit "Touch" value.
constexpr int kResultNoValue = -2;

// Debug log.
// A failure already written to the debug log: what DbgLogError and
// DbgLogSysError return and the failing operation passes on.
constexpr int kResultLoggedFailure = -6;
// DbgLogWrite: the hourly file could not be opened, or what was opened is not
// the hourly file itself (a link, or a file with more than one name).
constexpr int kResultLogOpenFailed = -16;
