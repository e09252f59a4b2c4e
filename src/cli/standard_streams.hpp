#pragma once

// The standard streams as both programs treat them: written whole, and never left closed.

#include <string_view>

// Writes `text` whole to `fd`, through interrupted and partial writes, and waiting when
// another program made the descriptor non-blocking. Returns 0, or the error that stopped it
// (EIO when a write took nothing).
int writeAll(int fd, std::string_view text);

// Opens /dev/null in place of a standard stream the program was started without, so that
// no file it opens takes that number and receives what is meant for the stream. Standard
// output is opened with `outputMode`: O_WRONLY lets output vanish, O_RDONLY makes writing it
// fail.
void claimStandardStreams(int outputMode);
