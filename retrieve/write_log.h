// Diagnostic log: one line per event appended to "c:\retr_log.txt".
#pragma once

namespace brimvox::retrieve {

extern const char kLogPath[];

// Formats the message printf-style (cut to 511 characters) and appends the line
// "TID=<thread id>; <tick count>:\t <message>\r\n". A log that cannot be opened loses the line
// (the first such loss of the process is reported through reportProblem). Never throws.
void writeLog(const char* format, ...);

// Reports a problem that must be seen even when the log file cannot be written (for example a
// dump file that the server's identity may not create): one line "Retrieve: <message>" to the
// system's debugger output, which a debugger or a debug-output viewer shows. Never throws.
void reportProblem(const char* format, ...);

}  // namespace brimvox::retrieve
