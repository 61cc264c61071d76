// What eventd and evt share about their command lines: --version, and exit
// codes as users of command-line tools expect them (0 after --help or
// --version, 2 for a usage error, whatever the parser's own codes are).
#pragma once

#include <CLI/CLI.hpp>

namespace evt::tool {

// Adds --version (the project's version) to `app`.
inline void addVersionFlag(CLI::App& app) { app.set_version_flag("--version", std::string(EVT_VERSION)); }

// Parses the command line. False when the program should end now, with
// *exitCode set: 0 after --help or --version, 2 for a usage error (the
// parser has printed the reason).
inline bool parseCommandLine(CLI::App& app, int argc, char** argv, int* exitCode) {
  try {
    app.parse(argc, argv);
    return true;
  } catch (const CLI::ParseError& error) {
    *exitCode = app.exit(error) == 0 ? 0 : 2;
    return false;
  }
}

}  // namespace evt::tool
