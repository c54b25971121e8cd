#include "operator/arguments.h"

#include <charconv>
#include <cstdint>
#include <system_error>

std::string Arguments::Value(const std::string& option, const std::string& fallback) const {
    const auto found = values.find(option);
    return found == values.end() ? fallback : found->second;
}

std::vector<std::string> Arguments::Values(const std::string& option) const {
    const auto found = allValues.find(option);
    return found == allValues.end() ? std::vector<std::string>{} : found->second;
}

Arguments ParseArguments(const std::vector<std::string>& words, const std::vector<CommandSyntax>& commands) {
    Arguments arguments;
    if (words.empty()) throw UsageError("no command given");
    if (words[0] == "--help" || words[0] == "-h" || words[0] == "help") {
        arguments.help = true;
        return arguments;
    }
    const CommandSyntax* syntax = nullptr;
    for (const CommandSyntax& command : commands) {
        if (command.name == words[0]) syntax = &command;
    }
    if (!syntax) throw UsageError("unknown command \"" + words[0] + "\"");
    arguments.command = syntax->name;

    for (std::size_t i = 1; i < words.size(); ++i) {
        const std::string& word = words[i];
        if (word == "--help" || word == "-h") {
            arguments.help = true;
            continue;
        }
        if (!word.starts_with("--")) throw UsageError("unexpected argument \"" + word + "\"");
        std::string name = word.substr(2);
        std::string value;
        const auto equals = name.find('=');
        const bool inlineValue = equals != std::string::npos;
        if (inlineValue) {
            value = name.substr(equals + 1);
            name.erase(equals);
        }
        if (syntax->flags.contains(name)) {
            if (inlineValue) throw UsageError("--" + name + " takes no value");
            arguments.flags.insert(name);
            continue;
        }
        if (!syntax->required.contains(name) && !syntax->optional.contains(name)) {
            throw UsageError("unknown option --" + name + " for " + syntax->name);
        }
        if (!inlineValue) {
            // The next word is the value, even when it starts with "-": a version may be negative.
            if (i + 1 == words.size()) throw UsageError("--" + name + " needs a value");
            value = words[++i];
        }
        if (arguments.values.contains(name) && !syntax->repeated.contains(name)) {
            throw UsageError("--" + name + " given twice");
        }
        arguments.values.emplace(name, value);
        arguments.allValues[name].push_back(value);
    }
    if (arguments.help) return arguments;
    for (const std::string& name : syntax->required) {
        if (!arguments.values.contains(name)) throw UsageError(syntax->name + " needs --" + name);
    }
    return arguments;
}

long long ParseWholeNumber(const std::string& option, const std::string& text) {
    long long value = 0;
    const char* end = text.data() + text.size();
    const auto parsed = std::from_chars(text.data(), end, value);
    if (text.empty() || parsed.ptr != end) {
        throw UsageError("--" + option + " must be a whole number, not \"" + text + "\"");
    }
    if (parsed.ec == std::errc::result_out_of_range) {
        // Out of any range: let the caller's range check say so.
        return text.starts_with('-') ? INT64_MIN : INT64_MAX;
    }
    return value;
}
