// `pstorian-cli sample FILE.pst [--folders N] [--messages N] [--seed N] [--overwrite]`:
// writes a synthetic mailbox through the embedded mail client, starting from the empty store.
#pragma once

#include <CLI/CLI.hpp>

namespace pstorian {

void add_sample_command(CLI::App& app);

}  // namespace pstorian
