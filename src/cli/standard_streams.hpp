#pragma once

// The standard streams as both programs treat them: written whole, and never left closed.

#include <string_view>

// Opens /dev/null in place of a standard stream the program was started without, so that
// no file it opens takes that number and receives what is meant for the stream. Standard
// output is opened with `outputMode`: O_WRONLY lets output vanish, O_RDONLY makes writing it
// fail.
void claimStandardStreams(int outputMode);
