// A recording is written under a temporary name next to its final path and
// renamed only when it is complete, so an interrupted or failed run never
// leaves a half-written file under the name the user asked for.
#pragma once

#include <string>

namespace calyra::recording {

class output_file {
 public:
  // Creates the temporary file now, so that an unwritable location is
  // reported before anything else happens. Throws recording_error.
  explicit output_file(std::string final_path);
  ~output_file();  // removes the temporary file unless committed

  output_file(const output_file&) = delete;
  output_file& operator=(const output_file&) = delete;

  const std::string& temporary_path() const { return temporary_; }
  const std::string& final_path() const { return final_; }

  // Moves the finished file to its final name. Throws recording_error.
  void commit();

 private:
  std::string final_;
  std::string temporary_;
  bool committed_ = false;
};

}  // namespace calyra::recording
