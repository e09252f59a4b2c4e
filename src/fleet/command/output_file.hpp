#pragma once

// Where the fleet view's page and metrics go. A file replaced as a whole: written to a new
// file beside it, without a name (or, where the file system cannot make one, with a name no
// one can foresee), and renamed into place once complete, so that a reader never sees half of it
// and a failure leaves the previous file as it was. The target may be anywhere the operator points
// it, so it is never written through: a target that exists and is not a regular file (a link, a
// FIFO, a device) is refused. Everything is done through the directory opened at the start,
// so that a directory swapped for another during a run, or for a link to one, leaves nothing
// behind in either.

#include "base/file_descriptor.hpp"

#include <filesystem>
#include <ostream>
#include <streambuf>
#include <string>

class ReplacementFile : private std::streambuf {
public:
  explicit ReplacementFile(const std::filesystem::path &target);
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

  FileDescriptor dir_; // the target's directory
  std::string name_;   // the target's name in it
  // The file's hidden name in the directory, until it is put in place; empty while it has none.
  std::string temporary_;
  FileDescriptor file_;
  std::string buffer_;
  std::string failure_;
  std::ostream stream_{this};
};
