#pragma once

// Where the fleet view's answers go: standard output and the page's file. Output that cannot
// be written is a failure the operator must hear of, not a table that silently went nowhere.

#include "devicelog/file_descriptor.hpp"

#include <filesystem>
#include <string>
#include <string_view>

// A file replaced as a whole: written to a temporary file beside it and renamed into place
// once complete, so that a failure leaves the previous file as it was. A target that exists
// and is not a regular file, such as /dev/stdout, is written in place.
class ReplacementFile {
public:
  explicit ReplacementFile(std::filesystem::path target);
  ReplacementFile(const ReplacementFile &) = delete;
  ReplacementFile &operator=(const ReplacementFile &) = delete;
  ~ReplacementFile(); // removes the temporary file unless it was put in place

  void write(std::string_view text);
  // Puts the file in place; false, with the reason in failure(), when anything went wrong.
  bool commit();
  const std::string &failure() const {
    return failure_;
  }

private:
  void flush();
  void fail(const std::string &reason);

  std::filesystem::path target_;
  std::filesystem::path temporary_; // empty when the target is written in place
  FileDescriptor file_;
  std::string buffer_;
  std::string failure_;
};
