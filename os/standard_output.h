// Standard output sent to a file for a while, so that what called code prints can be kept
// apart from a program's own output.
#pragma once

#include <string>
#include <string_view>

namespace rcpinstall::os {

// Writes the whole text to standard output (past stdio's buffer, which is flushed first).
// Answers an empty text, or the reason the text could not be written whole.
std::string writeStandardOutput(std::string_view text);

// Whether standard error goes to a terminal, where a person may be watching.
bool standardErrorIsTerminal();

class StandardOutputCapture {
 public:
  // Creates the file (which must not exist; links are not followed) and sends standard
  // output there; when the file cannot be made, output stays where it was.
  explicit StandardOutputCapture(const std::string& path);
  ~StandardOutputCapture();
  StandardOutputCapture(const StandardOutputCapture&) = delete;
  StandardOutputCapture& operator=(const StandardOutputCapture&) = delete;

  // Sends standard output back to where it went before; what was captured stays in the file.
  void restore();

 private:
  int saved_ = -1;
};

}  // namespace rcpinstall::os
