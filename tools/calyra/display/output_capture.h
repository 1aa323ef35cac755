// While the live status block is on a terminal, lines that the core library
// writes to standard output would land inside the block and be wiped or
// shifted by the next redraw. This captures the process's standard output
// (file descriptor 1) into a pipe for that time; the program writes its own
// display to the real terminal and prints the captured lines above the block.
#pragma once

#include <memory>
#include <ostream>
#include <streambuf>
#include <string>
#include <vector>

namespace calyra::display {

// An output stream buffer over a file descriptor; failed writes make the
// stream fail, nothing more.
class fd_streambuf : public std::streambuf {
 public:
  explicit fd_streambuf(int fd) : fd_(fd) {}

 protected:
  int_type overflow(int_type c) override;
  std::streamsize xsputn(const char* data, std::streamsize size) override;
  int sync() override { return 0; }

 private:
  int fd_;
};

class output_capture {
 public:
  // Captures only when `active`; otherwise display() is std::cout and no line
  // is ever captured. If the pipe cannot be made, nothing is captured either.
  explicit output_capture(bool active);
  ~output_capture();  // restore()

  output_capture(const output_capture&) = delete;
  output_capture& operator=(const output_capture&) = delete;

  // Where the program's own output goes while capturing: the real standard output.
  std::ostream& display();

  // Complete lines captured since the last call, without their line ends.
  std::vector<std::string> lines();

  // Puts standard output back and returns the lines still captured (a last
  // unterminated one included). Later calls return nothing.
  std::vector<std::string> restore();

 private:
  void read_available();

  int saved_stdout_ = -1;
  int pipe_read_ = -1;
  std::unique_ptr<fd_streambuf> buffer_;
  std::unique_ptr<std::ostream> stream_;
  std::string pending_;
};

}  // namespace calyra::display
