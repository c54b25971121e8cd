// The command line: a command, then options "--name value" (or
// "--name=value") and flags "--name", in any order.
#pragma once

#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

class UsageError : public std::runtime_error {
public:
    explicit UsageError(const std::string& message) : std::runtime_error(message) {}
};

struct CommandSyntax {
    std::string name;
    std::set<std::string> required;  // options that take a value and must be given
    std::set<std::string> optional;  // options that take a value
    std::set<std::string> flags;     // options without a value
    std::set<std::string> repeated;  // options among the above that may be given several times
};

struct Arguments {
    std::string command;  // empty for the general help
    bool help = false;
    std::map<std::string, std::string> values;  // the first value of each option
    std::map<std::string, std::vector<std::string>> allValues;
    std::set<std::string> flags;

    bool Has(const std::string& flag) const { return flags.contains(flag); }
    // The value of an option, or fallback when it was not given.
    std::string Value(const std::string& option, const std::string& fallback = "") const;
    // Every value of a repeatable option, in command-line order.
    std::vector<std::string> Values(const std::string& option) const;
};

// Throws UsageError naming what is wrong. "--help" anywhere asks for help and
// skips the check of required options.
Arguments ParseArguments(const std::vector<std::string>& words, const std::vector<CommandSyntax>& commands);

// A whole number in plain decimal, as written on a command line.
long long ParseWholeNumber(const std::string& option, const std::string& text);
