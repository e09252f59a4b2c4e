#pragma once

// Where the fleet view's page and metrics go. A file replaced as a whole: written to a new
// file beside it, without a name (or, where the file system cannot make one, with a name no
// one can foresee), and renamed into place once complete, so that a reader never sees half of it
// and a failure leaves the previous file as it was. The target may be anywhere the operator points
// it, so it is never written through: a target that exists and is not a regular file (a link, a
// FIFO, a device) is refused.

#include "base/file_descriptor.hpp"

#include <filesystem>
#include <ostream>
#include <streambuf>
#include <string>

class ReplacementFile : private std::streambuf {
public:
  explicit ReplacementFile(std::filesystem::path target);
  ReplacementFile(const ReplacementFile &) = delete;
  ReplacementFile &operator=(const ReplacementFile &) = delete;
  ~ReplacementFile() override; // removes the temporary file unless it was put in place

  // What is written here goes to the file, in pieces of a few hundred KiB.
  std::ostream &stream() {
    return stream_;
  }
  // Puts the file in place; false, with the reason in failure(), when anything went wrong.
  bool commit();
  const std::string &failure() const {
    return failure_;
  }

private:
  int_type overflow(int_type c) override;
  std::streamsize xsputn(const char *text, std::streamsize count) override;
  FileDescriptor createBesideTarget();
  bool nameTheFile();
  void flush();
  void fail(const std::string &reason);

  std::filesystem::path target_;
  // The file's hidden name, until it is put in place; empty while it has none.
  std::filesystem::path temporary_;
  FileDescriptor file_;
  std::string buffer_;
  std::string failure_;
  std::ostream stream_{this};
};
