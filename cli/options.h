// Command-line declarations of kvx: each command declares its arguments and options once, and
// that one declaration drives parsing, `kvx help CMD`, `CMD --help`, the man page and the shell
// completions, so that none of them can drift from what the parser accepts.
#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kvx {

/// What a shell offers when completing a value.
enum class Complete { None, File, Directory, States, Choices };

struct Option {
  const char* name;       // "--to"
  const char* valueName;  // "DIR"; null for a flag
  const char* help;       // one or more sentences
  Complete complete = Complete::None;
  const char* choices = nullptr;    // space-separated values with Complete::Choices
  const char* shortName = nullptr;  // "-y"
};

struct Positional {
  const char* name;  // "SOURCE"
  const char* help;
  bool required = true;
  Complete complete = Complete::File;
  const char* choices = nullptr;
};

/// The arguments of one command line after parsing.
class Args {
 public:
  [[nodiscard]] bool has(std::string_view option) const;
  /// The last value given for @p option.
  [[nodiscard]] std::optional<std::string> value(std::string_view option) const;
  /// Every value given for @p option, in order.
  [[nodiscard]] std::vector<std::string> values(std::string_view option) const;
  [[nodiscard]] const std::vector<std::string>& positionals() const { return m_positionals; }
  /// Options in the order given (name, value; value empty for flags).
  [[nodiscard]] const std::vector<std::pair<std::string, std::string>>& given() const {
    return m_given;
  }

  std::vector<std::pair<std::string, std::string>> m_given;
  std::vector<std::string> m_positionals;
};

/// Outcome of parsing: Ok, Help (--help or -h was given) or an error with its message.
struct ParseOutcome {
  enum Kind { Ok, Help, Error } kind = Ok;
  std::string message;
};

/// Parses @p argv against the declarations. Accepts "--opt value", "--opt=value", "--" before
/// arguments that start with '-', and --help/-h anywhere. A value that is itself one of the
/// command's options counts as missing, so "--to --deep" names --to.
ParseOutcome parseArgs(const std::vector<Positional>& positionals,
                       const std::vector<Option>& options, const std::vector<std::string>& argv,
                       Args& out);

/// Comma-separated list items, trimmed, empty ones dropped; @p alsoSemicolon splits on ';' too.
std::vector<std::string> splitList(std::string_view text, bool alsoSemicolon = false);

/// Options several commands share, declared once.
const std::vector<Option>& scanOptionDecls();     // --deep ... --partition --offset
const std::vector<Option>& saveOptionDecls();     // --save --no-save
const std::vector<Option>& filterOptionDecls();   // --deleted --all --pattern --state --id
const std::vector<Option>& listingOptionDecls();  // --json --jsonl --tsv --path-style --report
/// @p groups joined, in order.
std::vector<Option> joinOptions(std::initializer_list<const std::vector<Option>*> groups);

}  // namespace kvx
