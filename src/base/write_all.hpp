#pragma once

#include <string_view>

// Writes `text` whole to `fd`, through interrupted and partial writes, and waiting when
// another program made the descriptor non-blocking. Returns 0, or the error that stopped it
// (EIO when a write took nothing).
int writeAll(int fd, std::string_view text);
