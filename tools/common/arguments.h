// SPDX-License-Identifier: LGPL-2.1-or-later
// Command lines of the programs that ship with the library: options, names and checked numbers.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace zorvgst_tools {

/// What a command line gave: options ("--name value", "--name=value" or a bare flag, each with
/// its value or "") and the positional words in order.
struct arguments_t {
    std::map<std::string, std::string> options;
    std::vector<std::string> positional;

    bool has(const std::string& option) const { return options.count(option) != 0; }
};

/// The options a command accepts: name -> whether it takes a value.
using accepted_options_t = std::map<std::string, bool>;

/// Parses `args` into `out`. Returns the message of a usage error (an unknown option, a value
/// missing or given to a flag) or nothing.
std::optional<std::string> parse_arguments(const std::vector<std::string>& args,
                                           const accepted_options_t& accepted, arguments_t& out);

/// `text` as a whole number within [lowest, highest]; nothing for anything else (empty text,
/// trailing characters, a sign where none fits, out of range).
std::optional<long long> whole_number(const std::string& text, long long lowest, long long highest);

/// `text` as a decimal number within [lowest, highest]; nothing for anything else.
std::optional<double> decimal_number(const std::string& text, double lowest, double highest);

/// "--option value" pairs bound to the variables they set, for programs whose arguments are
/// nothing but such options.
class option_bindings {
public:
    /// A text that is not empty.
    option_bindings& add(const std::string& option, std::string& value);
    /// A whole number within [lowest, highest].
    option_bindings& add(const std::string& option, unsigned& value, unsigned lowest = 0,
                         unsigned highest = 1000000);

    /// Sets the bound variables. Returns the message of a usage error (an unknown option, a
    /// missing value, a value that is not a number in range, a positional word) or nothing.
    std::optional<std::string> parse(int argc, char** argv) const;

private:
    // Returns false when the text does not fit the variable.
    std::map<std::string, std::function<bool(const std::string&)>> setters_;
};

} // namespace zorvgst_tools
