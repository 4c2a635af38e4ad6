// SPDX-License-Identifier: LGPL-2.1-or-later
// Command-line parsing shared by the programs that ship with the library.
#include "tools/common/arguments.h"
#include <cctype>
#include <cerrno>
#include <cstdlib>

namespace zorvgst_tools {

namespace {

// strtoll and strtod skip leading blanks; a command line's number must not start with any.
bool starts_like_a_number(const std::string& text) {
    return !text.empty() && std::isspace(static_cast<unsigned char>(text.front())) == 0;
}

} // namespace

std::optional<std::string> parse_arguments(const std::vector<std::string>& args,
                                           const accepted_options_t& accepted, arguments_t& out) {
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg.size() <= 1 || arg[0] != '-') {
            out.positional.push_back(arg);
            continue;
        }
        std::string key = arg;
        std::optional<std::string> value;
        if (const auto eq = arg.find('='); eq != std::string::npos && arg.rfind("--", 0) == 0) {
            key = arg.substr(0, eq);
            value = arg.substr(eq + 1);
        }
        const auto found = accepted.find(key);
        if (found == accepted.end()) {
            return "unknown option '" + key + "'";
        }
        if (found->second && !value) {
            if (i + 1 >= args.size()) {
                return "option '" + key + "' needs a value";
            }
            value = args[++i];
        } else if (!found->second && value) {
            return "option '" + key + "' takes no value";
        }
        out.options[key] = value.value_or("");
    }
    return std::nullopt;
}

std::optional<long long> whole_number(const std::string& text, long long lowest,
                                      long long highest) {
    if (!starts_like_a_number(text)) {
        return std::nullopt;
    }
    char* end = nullptr;
    errno = 0;
    const long long number = std::strtoll(text.c_str(), &end, 10);
    if (*end != '\0' || errno == ERANGE || number < lowest || number > highest) {
        return std::nullopt;
    }
    return number;
}

std::optional<double> decimal_number(const std::string& text, double lowest, double highest) {
    if (!starts_like_a_number(text)) {
        return std::nullopt;
    }
    char* end = nullptr;
    const double number = std::strtod(text.c_str(), &end);
    // The comparison also refuses NaN.
    if (*end != '\0' || !(number >= lowest && number <= highest)) {
        return std::nullopt;
    }
    return number;
}

option_bindings& option_bindings::add(const std::string& option, std::string& value) {
    setters_[option] = [&value](const std::string& text) {
        value = text;
        return !text.empty();
    };
    return *this;
}

option_bindings& option_bindings::add(const std::string& option, unsigned& value, unsigned lowest,
                                      unsigned highest) {
    setters_[option] = [&value, lowest, highest](const std::string& text) {
        const auto number = whole_number(text, lowest, highest);
        if (number) {
            value = static_cast<unsigned>(*number);
        }
        return number.has_value();
    };
    return *this;
}

std::optional<std::string> option_bindings::parse(int argc, char** argv) const {
    accepted_options_t accepted;
    for (const auto& setter : setters_) {
        accepted[setter.first] = true;
    }
    arguments_t parsed;
    if (auto error = parse_arguments({argv + 1, argv + argc}, accepted, parsed)) {
        return error;
    }
    if (!parsed.positional.empty()) {
        return "unexpected argument '" + parsed.positional.front() + "'";
    }
    for (const auto& [option, value] : parsed.options) {
        if (!setters_.at(option)(value)) {
            return "option '" + option + "' cannot be '" + value + "'";
        }
    }
    return std::nullopt;
}

} // namespace zorvgst_tools
