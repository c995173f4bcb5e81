// Child processes: started from an argument vector, never through a shell command line.
#pragma once

#include <string>
#include <vector>

namespace rcpinstall::os {

// Starts program with the arguments (the child's argv[0] is the program path, the arguments
// follow it), standard input, output and error on the null device, no other descriptor
// inherited, environment and working directory inherited; waits for it to end. Answers the exit
// status, 128 + signal when it was killed, or -1 when it could not be started.
int runAndWait(const std::string& program, const std::vector<std::string>& arguments);

// Hands the text to /bin/sh -c and waits; the status as system(3) gives it.
int runShellCommand(const std::string& commandLine);

}  // namespace rcpinstall::os
