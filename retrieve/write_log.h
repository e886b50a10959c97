// Diagnostic log: one line per event appended to "c:\retr_log.txt".
#pragma once

extern const char kLogPath[];

// Formats the message printf-style (cut to 511 characters) and appends the line
// "TID=<thread id>; <tick count>:\t <message>\r\n". A log that cannot be opened loses the line.
void WriteLog(const char* format, ...);
