// The system log: printf-style messages at levels 3, 4 and 6, copied to attached descriptors.
#pragma once

namespace rcpinstall::os::SystemLog {

enum Level : int { kError = 3, kWarning = 4, kInfo = 6 };

// Sends the message to syslog(3) and writes one line to every attached descriptor:
// "Dec  8 05:09:10 host patchapply[1234] <Info>: Begin to install hotfix".
void log(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Attaches or detaches an extra output descriptor. Neither opens nor closes it.
void addLogFile(int fd);
void removeLogFile(int fd);

}  // namespace rcpinstall::os::SystemLog
