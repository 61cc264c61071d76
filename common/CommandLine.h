// What eventd and evt share about their command lines: --version, numeric
// options whose errors name the range allowed, and exit codes as users of
// command-line tools expect them (0 after --help or --version, 2 for a usage
// error, whatever the parser's own codes are).
#pragma once

#include <algorithm>
#include <cstdio>
#include <string>
#include <type_traits>
#include <vector>

#include <CLI/CLI.hpp>

namespace evt::tool {

// Adds --version (the project's version) to `app`.
inline void addVersionFlag(CLI::App& app) { app.set_version_flag("--version", std::string(EVT_VERSION)); }

// A number as people write it: integers in full, others without trailing
// zeros (86400, 0.5).
template <typename T>
std::string numberText(T value) {
  if constexpr (std::is_integral_v<T>) {
    return std::to_string(value);
  } else {
    char text[32];
    std::snprintf(text, sizeof text, "%g", static_cast<double>(value));
    return text;
  }
}

namespace detail {

template <typename T>
CLI::Validator numberCheck(T min, T max, bool bounded) {
  const std::string allowed = bounded ? "between " + numberText(min) + " and " + numberText(max)
                                      : numberText(min) + " or more";
  return CLI::Validator(
      [=](std::string& text) {
        T value{};
        // The parser would take "-1" for an unsigned type as its largest value.
        const bool negative = std::is_unsigned_v<T> && text.find('-') != std::string::npos;
        if (negative || !CLI::detail::lexical_cast(text, value) || value < min || (bounded && value > max)) {
          return "must be " + allowed;
        }
        return std::string();
      },
      allowed);
}

}  // namespace detail

// A number from `min` to `max`: "--count: must be between 1 and 2147483647"
// otherwise.
template <typename T>
CLI::Validator between(T min, T max) {
  return detail::numberCheck(min, max, true);
}
// A number of at least `min`: "--rate: must be 0 or more" otherwise.
template <typename T>
CLI::Validator atLeast(T min) {
  return detail::numberCheck(min, min, false);
}

// Parses the command line. False when the program should end now, with
// *exitCode set: 0 after --help or --version, 2 for a usage error (the
// reason printed, after the program's name). For a program with commands,
// a first word that names none is such an error, and the commands are
// listed.
inline bool parseCommandLine(CLI::App& app, int argc, char** argv, int* exitCode) {
  std::string program = argc > 0 ? argv[0] : app.get_name();
  program = program.substr(program.rfind('/') + 1);
  std::vector<std::string> commands;
  for (const CLI::App* command : app.get_subcommands([](const CLI::App*) { return true; })) {
    commands.push_back(command->get_name());
  }
  const std::string listed = CLI::detail::join(commands, ", ");
  if (!commands.empty()) {
    // Options before the command take no values, so the first other word
    // is the command.
    for (int i = 1; i < argc; ++i) {
      const std::string word = argv[i];
      if (!word.empty() && word[0] == '-') continue;
      if (std::find(commands.begin(), commands.end(), word) == commands.end()) {
        std::fprintf(stderr, "%s: unknown command '%s'; the commands are %s (see %s --help)\n", program.c_str(),
                     word.c_str(), listed.c_str(), program.c_str());
        *exitCode = 2;
        return false;
      }
      break;
    }
  }
  app.failure_message([program, listed](const CLI::App*, const CLI::Error& error) {
    std::string reason = error.what();
    if (!listed.empty() && dynamic_cast<const CLI::RequiredError*>(&error) != nullptr &&
        reason.rfind("A subcommand", 0) == 0) {
      reason = "a command is required; the commands are " + listed;
    }
    return program + ": " + reason + "\nRun " + program + " --help for more information.\n";
  });
  try {
    app.parse(argc, argv);
    return true;
  } catch (const CLI::ParseError& error) {
    *exitCode = app.exit(error) == 0 ? 0 : 2;
    return false;
  }
}

}  // namespace evt::tool
