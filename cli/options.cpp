// Parsing kvx's command lines against their declarations, and every text made from those
// declarations: usage lines, help, the man page and the bash and zsh completions.
#include "options.h"

#include <algorithm>
#include <cstring>

#include "command.h"

namespace kvx {

// --- Registry -----------------------------------------------------------------------------------

namespace {
std::vector<Command>& registry() {
  static std::vector<Command> list;
  return list;
}
}  // namespace

Registration::Registration(const Command& command) { registry().push_back(command); }
const std::vector<Command>& commands() { return registry(); }
const Command* findCommand(const std::string& name) {
  for (const auto& c : registry())
    if (name == c.name) return &c;
  return nullptr;
}

// --- Parsing ------------------------------------------------------------------------------------

bool Args::has(std::string_view option) const {
  return std::any_of(m_given.begin(), m_given.end(),
                     [&](const auto& g) { return g.first == option; });
}

std::optional<std::string> Args::value(std::string_view option) const {
  std::optional<std::string> v;
  for (const auto& [name, text] : m_given)
    if (name == option) v = text;
  return v;
}

std::vector<std::string> Args::values(std::string_view option) const {
  std::vector<std::string> out;
  for (const auto& [name, text] : m_given)
    if (name == option) out.push_back(text);
  return out;
}

namespace {
const Option* findOption(const std::vector<Option>& options, std::string_view name) {
  for (const auto& o : options)
    if (name == o.name || (o.shortName != nullptr && name == o.shortName)) return &o;
  return nullptr;
}
}  // namespace

ParseOutcome parseArgs(const std::vector<Positional>& positionals,
                       const std::vector<Option>& options, const std::vector<std::string>& argv,
                       Args& out) {
  out = Args{};
  bool onlyPositionals = false;
  for (std::size_t i = 0; i < argv.size(); ++i) {
    const std::string& a = argv[i];
    if (onlyPositionals || a.size() < 2 || a[0] != '-') {
      out.m_positionals.push_back(a);
      continue;
    }
    if (a == "--") {
      onlyPositionals = true;
      continue;
    }
    if (a == "--help" || a == "-h") return {ParseOutcome::Help, {}};
    const std::size_t eq = a.rfind("--", 0) == 0 ? a.find('=') : std::string::npos;
    const std::string name = a.substr(0, eq);
    const Option* o = findOption(options, name);
    if (o == nullptr) return {ParseOutcome::Error, "unknown option " + name};
    if (o->valueName == nullptr) {
      if (eq != std::string::npos) return {ParseOutcome::Error, name + " takes no value"};
      out.m_given.emplace_back(o->name, std::string());
      continue;
    }
    std::string value;
    if (eq != std::string::npos) {
      value = a.substr(eq + 1);
    } else {
      // "--to --deep": the next word is an option of its own, so --to has no value.
      const bool missing = i + 1 >= argv.size() ||
                           (argv[i + 1].rfind("-", 0) == 0 && argv[i + 1].size() > 1 &&
                            (findOption(options, argv[i + 1].substr(0, argv[i + 1].find('='))) ||
                             argv[i + 1] == "--help" || argv[i + 1] == "--"));
      if (missing) return {ParseOutcome::Error, name + " needs a value (" + o->valueName + ")"};
      value = argv[++i];
    }
    if (value.empty()) return {ParseOutcome::Error, name + " needs a value (" + o->valueName + ")"};
    if (o->complete == Complete::Choices && o->choices != nullptr &&
        (std::string(" ") + o->choices + " ").find(" " + value + " ") == std::string::npos)
      return {ParseOutcome::Error, name + " takes one of: " + o->choices};
    out.m_given.emplace_back(o->name, value);
  }
  std::size_t required = 0;
  for (const auto& p : positionals) required += p.required ? 1 : 0;
  if (out.m_positionals.size() < required)
    return {ParseOutcome::Error,
            std::string("missing ") + positionals[out.m_positionals.size()].name};
  if (out.m_positionals.size() > positionals.size())
    return {ParseOutcome::Error, "unexpected argument " + out.m_positionals[positionals.size()]};
  for (std::size_t k = 0; k < out.m_positionals.size(); ++k) {
    const Positional& p = positionals[k];
    if (p.complete != Complete::Choices || p.choices == nullptr) continue;
    // Choices are space-separated in the declaration.
    const std::string padded = std::string(" ") + p.choices + " ";
    if (padded.find(" " + out.m_positionals[k] + " ") == std::string::npos)
      return {ParseOutcome::Error, std::string(p.name) + " is one of: " + p.choices};
  }
  return {};
}

std::vector<std::string> splitList(std::string_view text, bool alsoSemicolon) {
  std::vector<std::string> out;
  std::size_t start = 0;
  for (std::size_t i = 0; i <= text.size(); ++i) {
    const bool end = i == text.size() || text[i] == ',' || (alsoSemicolon && text[i] == ';');
    if (!end) continue;
    std::string_view one = text.substr(start, i - start);
    while (!one.empty() && one.front() == ' ') one.remove_prefix(1);
    while (!one.empty() && one.back() == ' ') one.remove_suffix(1);
    if (!one.empty()) out.emplace_back(one);
    start = i + 1;
  }
  return out;
}

// --- Shared declarations ------------------------------------------------------------------------

const std::vector<Option>& scanOptionDecls() {
  static const std::vector<Option> v{
      {"--deep", nullptr,
       "Also search the raw sectors for files by their content (carved files are listed under "
       "\"Files by content/EXT/\"). Slower; finds files whose entries are gone."},
      {"--test-ext", nullptr,
       "Check that each found file's content matches its extension; mismatches get a note."},
      {"--rename-ext", nullptr,
       "With --test-ext: list mismatched files under the extension their "
       "content has."},
      {"--test-all", nullptr, "Check the content of every file, not only deleted ones."},
      {"--partition", "N",
       "On a whole disk, scan only volume N (numbered as kvx partitions lists them); by default "
       "every volume is scanned, each under its own prefix p1/, p2/ ..."},
      {"--offset", "BYTES", "Scan the volume that starts BYTES into the image or device."},
  };
  return v;
}

const std::vector<Option>& saveOptionDecls() {
  static const std::vector<Option> v{
      {"--save", nullptr,
       "When the scan is interrupted, save the session (LastSession.Results here) without asking."},
      {"--no-save", nullptr, "When the scan is interrupted, do not save the session nor ask."},
  };
  return v;
}

const std::vector<Option>& filterOptionDecls() {
  static const std::vector<Option> v{
      {"--deleted", nullptr, "Only deleted files."},
      {"--pattern", "LIST",
       "Only files whose name matches one of the comma-separated wildcard patterns (* any run, "
       "? one character, case-insensitive; ';' separates too). A pattern that contains '/' is "
       "matched against the whole path (\"docs/*.txt\")."},
      {"--state", "LIST",
       "Only files in one of the comma-separated states: Excellent, Good, Poor, Bad, "
       "Unrecoverable, Existing (see kvx help states).",
       Complete::States},
      {"--id", "LIST",
       "Only the files with these ids (comma-separated; the ID column of kvx scan)."},
  };
  return v;
}

const std::vector<Option>& listingOptionDecls() {
  static const std::vector<Option> v{
      {"--json", nullptr,
       "Write one JSON document (drives, files, folders, error) to standard output."},
      {"--jsonl", nullptr,
       "Write one JSON object per line, one line per file (streams; suits jq and millions of "
       "files). Errors go to standard error and the exit code."},
      {"--tsv", nullptr,
       "Write the table tab-separated, with a header line; fields never hold a tab or newline."},
      {"--path-style", "STYLE",
       "native (default): paths relative to the volume root with '/'; windows: the drive's own "
       "form \"D:\\dir\\name\".",
       Complete::Choices, "native windows"},
      {"--report", nullptr, "Print the engine's report lines on standard error during the scan."},
  };
  return v;
}

std::vector<Option> joinOptions(std::initializer_list<const std::vector<Option>*> groups) {
  std::vector<Option> out;
  for (const auto* g : groups) out.insert(out.end(), g->begin(), g->end());
  return out;
}

// --- Help ---------------------------------------------------------------------------------------

namespace {
/// @p text wrapped to @p width columns, every line after the first indented by @p indent.
std::string wrap(std::string_view text, std::size_t indent, std::size_t width,
                 std::size_t firstColumn) {
  std::string out;
  std::size_t column = firstColumn;
  while (!text.empty()) {
    const std::size_t space = text.find(' ');
    const std::string_view word = text.substr(0, space);
    if (column > indent && column + 1 + word.size() > width) {
      out += '\n';
      out.append(indent, ' ');
      column = indent;
    } else if (column > indent) {
      out += ' ';
      ++column;
    }
    out += word;
    column += word.size();
    if (space == std::string_view::npos) break;
    text.remove_prefix(space + 1);
  }
  return out;
}

std::string optionLabel(const Option& o) {
  std::string s = o.shortName != nullptr ? std::string(o.shortName) + ", " : std::string();
  s += o.name;
  if (o.valueName != nullptr) s += std::string(" ") + o.valueName;
  return s;
}
}  // namespace

std::string usageLine(const Command& c) {
  std::string s = std::string("kvx ") + c.name;
  for (const auto& p : c.positionals) {
    if (p.complete == Complete::Choices && p.choices != nullptr) {
      std::string choices = p.choices;
      std::replace(choices.begin(), choices.end(), ' ', '|');
      s += " " + (p.required ? choices : "[" + choices + "]");
    } else {
      s += p.required ? std::string(" ") + p.name : std::string(" [") + p.name + "]";
    }
  }
  if (!c.options.empty()) s += " [options]";
  return s;
}

std::string commandHelp(const Command& c) {
  std::string s = "usage: " + usageLine(c) + "\n\n" + wrap(c.summary, 0, 100, 0) + "\n";
  if (!c.positionals.empty()) {
    s += "\nArguments:\n";
    for (const auto& p : c.positionals) {
      std::string line = std::string("  ") + p.name;
      line.resize(std::max<std::size_t>(line.size() + 2, 26), ' ');
      s += line + wrap(p.help, 26, 100, 26) + "\n";
    }
  }
  s += "\nOptions:\n";
  std::vector<Option> all = c.options;
  all.push_back({"--help", nullptr, "Show this help.", Complete::None, nullptr, "-h"});
  for (const auto& o : all) {
    std::string line = "  " + optionLabel(o);
    if (line.size() + 2 > 26) {
      s += line + "\n";
      line.assign(26, ' ');
    } else {
      line.resize(26, ' ');
    }
    s += line + wrap(o.help, 26, 100, 26) + "\n";
  }
  if (c.details != nullptr) s += "\n" + std::string(c.details) + "\n";
  return s;
}

std::string generalHelp(const std::vector<Command>& all) {
  std::string s =
      "usage: kvx COMMAND [ARGS]\n"
      "       kvx help COMMAND | kvx COMMAND --help    options of one command\n"
      "       kvx help states                          what the file states mean\n"
      "       kvx --version\n\nCommands:\n";
  for (const auto& c : all) {
    std::string line = std::string("  ") + c.name;
    line.resize(std::max<std::size_t>(line.size() + 2, 16), ' ');
    s += line + wrap(c.summary, 16, 100, 16) + "\n";
  }
  s +=
      "\nSOURCE is an image file, a block device (/dev/sdb1, /dev/loop0) or a drive letter of the\n"
      "drive table (E:). Drive letters come from KVX_DRIVES (E=/path/img;F=/dev/sdc1), drives.ini\n"
      "in $XDG_CONFIG_HOME/rekovia/ and the block devices of this machine.\n"
      "Exit codes: 0 ok, 1 operation failed (or nothing matched), 2 usage error.\n";
  return s;
}

std::string statesHelp() {
  return "States of a deleted file (the STATE column, \"state\"/\"stateName\" in JSON):\n"
         "  Excellent      nothing written later reads over its clusters and its layout is in no\n"
         "                 doubt; a format with a content check (JPEG, PNG, ZIP, PDF ...) checks\n"
         "                 to its end. Recovers byte for byte.\n"
         "  Good           no cluster is known to be overwritten, but the layout is inferred (it\n"
         "                 was written around files deleted since, or may share free clusters with\n"
         "                 another deleted file). Usually right; check it.\n"
         "  Poor           part of it now belongs to files written later, or its content check\n"
         "                 breaks inside the file (cut, or a fragment not found); expect damage.\n"
         "  Bad            its content is another format than its name says.\n"
         "  Unrecoverable  nothing of its content is left (or its clusters are unknown).\n"
         "  Existing       a file that is not deleted.\n"
         "\n"
         "\"(12/45)\" after a state: 12 of the file's 45 clusters are now used by other files\n"
         "(overwritten/total clusters). Files found by content (--deep) and some others show the\n"
         "state without counts. The overwritten clusters are read as they are now, so a state is "
         "an\n"
         "estimate: the recovered bytes are the truth.\n"
         "Filter with --state LIST, as in --state Excellent,Good.\n";
}

int usageError(const Command& c, const std::string& message) {
  std::fprintf(stderr, "kvx %s: %s\nusage: %s\n(kvx help %s describes every option)\n", c.name,
               message.c_str(), usageLine(c).c_str(), c.name);
  return kExitUsage;
}

int usageError(const char* command, const std::string& message) {
  if (const Command* c = findCommand(command)) return usageError(*c, message);
  std::fprintf(stderr, "kvx %s: %s\n", command, message.c_str());
  return kExitUsage;
}

// --- Man page and completions -------------------------------------------------------------------

namespace {
std::string roff(std::string_view text) {
  std::string out;
  for (const char ch : text) {
    if (ch == '\\')
      out += "\\e";
    else if (ch == '-')
      out += "\\-";
    else
      out += ch;
  }
  // A line that starts with '.' or '\'' would be read as a request.
  if (!out.empty() && (out[0] == '.' || out[0] == '\'')) out.insert(0, "\\&");
  return out;
}

constexpr const char* kStateWords = "Excellent Good Poor Bad Unrecoverable Existing";

std::string valueWords(const Option& o) {
  if (o.complete == Complete::States) return kStateWords;
  if (o.complete == Complete::Choices && o.choices != nullptr) return o.choices;
  return {};
}

/// Text for a zsh description: no brackets, colons or quotes.
std::string zshText(std::string_view text) {
  std::string out;
  for (const char ch : text) {
    if (ch == '.') break;  // first sentence
    if (ch == '[' || ch == ']')
      out += ch == '[' ? '(' : ')';
    else if (ch == ':' || ch == '\'' || ch == '"' || ch == '\\')
      out += ' ';
    else
      out += ch;
  }
  return out;
}
}  // namespace

std::string manPage(const std::vector<Command>& all, const char* version) {
  std::string s = std::string(".TH KVX 1 \"\" \"kvx ") + version +
                  "\" \"User Commands\"\n.SH NAME\nkvx \\- list and recover deleted files from "
                  "drives, images and devices\n.SH SYNOPSIS\n";
  for (const auto& c : all) s += ".B " + roff(usageLine(c)) + "\n.br\n";
  s += ".SH DESCRIPTION\n"
       "kvx lists every file the file-system structures and raw sectors of a source still "
       "describe, estimates how much of each deleted file survives, and recovers it byte for "
       "byte. It never writes to the source it recovers from.\n"
       ".PP\nSOURCE is an image file, a block device or a drive letter of the drive table.\n"
       ".SH COMMANDS\n";
  for (const auto& c : all) {
    s += ".SS " + roff(usageLine(c)) + "\n" + roff(c.summary) + "\n";
    for (const auto& p : c.positionals)
      s += ".TP\n.I " + std::string(p.name) + "\n" + roff(p.help) + "\n";
    for (const auto& o : c.options) {
      s += ".TP\n.B " + roff(o.name);
      if (o.valueName != nullptr) s += std::string(" \" \"\n.I ") + o.valueName;
      s += "\n" + roff(o.help) + "\n";
    }
    if (c.details != nullptr) {
      s += ".PP\n";
      std::string_view d = c.details;
      while (!d.empty()) {
        const std::size_t nl = d.find('\n');
        const std::string_view line = d.substr(0, nl);
        s += line.empty() ? std::string(".PP\n") : roff(line) + "\n";
        if (nl == std::string_view::npos) break;
        d.remove_prefix(nl + 1);
      }
    }
  }
  s += ".SH FILE STATES\n.nf\n" + roff(statesHelp()) + ".fi\n";
  s += ".SH EXIT STATUS\n0 ok; 1 the operation failed, or nothing matched the filters of "
       "recover; 2 usage error.\n"
       ".SH ENVIRONMENT\n.TP\n.B KVX_DRIVES\nDrive letters for images and devices, as "
       "E=/path/img;F=/dev/sdc1.\n"
       ".SH SEE ALSO\n.BR fls (1),\n.BR icat (1),\n.BR photorec (8)\n";
  return s;
}

std::string bashCompletion(const std::vector<Command>& all) {
  std::string s =
      "# bash completion for kvx (made from kvx's own option declarations)\n"
      "# A comma-separated list: completes its last item, any case, keeping the items before it.\n"
      "_kvx_list() {\n"
      "  local word head= item=${cur##*,}\n"
      "  [[ $cur == *,* ]] && head=${cur%,*},\n"
      "  COMPREPLY=()\n"
      "  for word in $1; do\n"
      "    [[ ${word,,} == \"${item,,}\"* ]] && COMPREPLY+=(\"$head$word\")\n"
      "  done\n"
      "  compopt -o nospace 2>/dev/null\n"
      "}\n"
      "_kvx() {\n"
      "  local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}\n"
      "  if [[ $COMP_CWORD -eq 1 ]]; then\n"
      "    COMPREPLY=($(compgen -W \"help --help --version";
  for (const auto& c : all) s += std::string(" ") + c.name;
  s += "\" -- \"$cur\"))\n    return\n  fi\n  local opts= words=\n  case ${COMP_WORDS[1]} in\n";
  s += "    help)\n      COMPREPLY=($(compgen -W \"states";
  for (const auto& c : all) s += std::string(" ") + c.name;
  s += "\" -- \"$cur\"))\n      return ;;\n";
  for (const auto& c : all) {
    s += std::string("    ") + c.name + ")\n      opts=\"--help";
    for (const auto& o : c.options) s += std::string(" ") + o.name;
    s += "\"\n      case $prev in\n";
    for (const auto& o : c.options) {
      if (o.valueName == nullptr) continue;
      s += std::string("        ") + o.name + ") ";
      if (o.complete == Complete::Directory)
        s += "COMPREPLY=($(compgen -d -- \"$cur\")); return ;;\n";
      else if (o.complete == Complete::File)
        s += "COMPREPLY=($(compgen -f -- \"$cur\")); return ;;\n";
      else if (o.complete == Complete::States)
        s += "_kvx_list \"" + valueWords(o) + "\"; return ;;\n";
      else if (!valueWords(o).empty())
        s += "COMPREPLY=($(compgen -W \"" + valueWords(o) + "\" -- \"$cur\")); return ;;\n";
      else
        s += "return ;;\n";
    }
    s += "      esac\n";
    for (const auto& p : c.positionals)
      if (p.complete == Complete::Choices && p.choices != nullptr)
        s += std::string("      words=\"") + p.choices + "\"\n";
    s += "      ;;\n";
  }
  s += "    *) return ;;\n  esac\n"
       "  if [[ $cur == -* ]]; then\n    COMPREPLY=($(compgen -W \"$opts\" -- \"$cur\"))\n"
       "  elif [[ -n $words && $COMP_CWORD -eq 2 ]]; then\n"
       "    COMPREPLY=($(compgen -W \"$words\" -- \"$cur\"))\n"
       "  else\n    COMPREPLY=($(compgen -f -- \"$cur\"))\n  fi\n}\n"
       "complete -o filenames -F _kvx kvx\n";
  return s;
}

std::string zshCompletion(const std::vector<Command>& all) {
  std::string s =
      "#compdef kvx\n# zsh completion for kvx (made from kvx's own option declarations)\n\n"
      "# One item of a comma-separated state list (_sequence gives the separator), in any case.\n"
      "_kvx_states() { compadd -M 'm:{a-z}={A-Z}' \"$@\" - " +
      std::string(kStateWords) + "; }\n\n"
      "_kvx() {\n  local -a commands\n  commands=(\n"
      "    'help:describe a command or the file states'\n";
  for (const auto& c : all) s += std::string("    '") + c.name + ":" + zshText(c.summary) + "'\n";
  s += "  )\n  if (( CURRENT == 2 )); then\n"
       "    _describe -t commands 'kvx command' commands\n    _arguments '--version' '--help'\n"
       "    return\n  fi\n  local cmd=${words[2]}\n  shift words\n  (( CURRENT-- ))\n"
       "  case $cmd in\n    help) _values 'topic' states";
  for (const auto& c : all) s += std::string(" ") + c.name;
  s += " ;;\n";
  for (const auto& c : all) {
    s += std::string("    ") + c.name +
         ")\n      _arguments \\\n        '(-h --help)'{-h,--help}'[show the help]' \\\n";
    for (const auto& o : c.options) {
      s += std::string("        '") + o.name;
      if (o.valueName != nullptr) s += "=";
      s += "[" + zshText(o.help) + "]";
      if (o.valueName != nullptr) {
        s += std::string(":") + o.valueName + ":";
        if (o.complete == Complete::Directory)
          s += "_files -/";
        else if (o.complete == Complete::File)
          s += "_files";
        else if (o.complete == Complete::States)
          // Each item of the comma-separated list, in any case.
          s += "_sequence _kvx_states";
        else if (!valueWords(o).empty())
          s += "(" + valueWords(o) + ")";
        else
          s += " ";
      }
      s += "' \\\n";
    }
    for (const auto& p : c.positionals) {
      s += std::string("        '") + (p.required ? "" : ":") + ":" + p.name + ":";
      if (p.complete == Complete::Choices && p.choices != nullptr)
        s += std::string("(") + p.choices + ")";
      else if (p.complete == Complete::Directory)
        s += "_files -/";
      else if (p.complete == Complete::File)
        s += "_files";
      else
        s += " ";
      s += "' \\\n";
    }
    s += "        && return ;;\n";
  }
  s += "  esac\n}\n\n_kvx \"$@\"\n";
  return s;
}

}  // namespace kvx
