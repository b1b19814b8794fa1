// Command lines read with CLI11: an option that takes a value, followed by
// one of the tool's own option names (`-o --apriori`), has almost always
// lost its value, and CLI11 would take the name as that value. Call
// CheckOptionValues before parsing; a file of such a name can still be
// given as `--output=--apriori` or `./--apriori`.
#ifndef TOOLS_COMMON_CLI_VALUES_H_
#define TOOLS_COMMON_CLI_VALUES_H_

#include <set>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

namespace toolio {

namespace detail {

inline void CollectOptionNames(const CLI::App &app, std::set<std::string> &all,
                               std::set<std::string> &valued) {
  for (const CLI::Option *o : app.get_options()) {
    std::vector<std::string> names;
    for (const std::string &l : o->get_lnames()) names.push_back("--" + l);
    for (const std::string &s : o->get_snames()) names.push_back("-" + s);
    for (const std::string &n : names) {
      all.insert(n);
      if (o->get_items_expected_max() > 0) valued.insert(n);
    }
  }
  for (const CLI::App *sub : app.get_subcommands([](const CLI::App *) { return true; }))
    CollectOptionNames(*sub, all, valued);
}

}  // namespace detail

// False with a one-line error ("-o needs a value; '--apriori' is an option")
// when an option of app or of its subcommands that takes a value is given
// as a separate argument and the next argument is one of their option names
// (alone or as --name=value). Arguments after "--" are not options.
inline bool CheckOptionValues(const CLI::App &app, int argc, const char *const *argv,
                              std::string &error) {
  std::set<std::string> all, valued;
  detail::CollectOptionNames(app, all, valued);
  for (int i = 1; i + 1 < argc; i++) {
    std::string arg = argv[i];
    if (arg == "--") break;
    if (!valued.count(arg)) continue;
    std::string next = argv[i + 1];
    std::string name = next.substr(0, next.find('='));
    if (next.size() > 1 && next[0] == '-' && all.count(name)) {
      error = arg + " needs a value; '" + next + "' is an option (a value of that name: " +
              (arg.rfind("--", 0) == 0 ? arg + "=" + next : "./" + next) + ")";
      return false;
    }
    i++;  // the value
  }
  return true;
}

}  // namespace toolio

#endif  // TOOLS_COMMON_CLI_VALUES_H_
