#pragma once

// Splits a command line written as one text, the way Windows starts a program
// from it: the program comes first, a program path with blanks may stand
// without quotation marks (the shortest prefix that names an existing program
// wins), and the arguments follow the C runtime's quoting rules.

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace kelvane {

struct TCommandLine {
  std::string Program;                 // as written, without quotation marks
  std::vector<std::string> Arguments;  // the arguments after the program
};

// Answers whether a candidate program name names a program that exists.
using TProgramExists = std::function<bool(const std::string& Program)>;

// Splits `CommandLine` into the program and its arguments.
// A program that begins with a quotation mark runs up to the closing one.
// Otherwise every prefix that ends before a blank (and finally the whole
// line) is a candidate, shortest first, and the first one `ProgramExists`
// accepts is the program; when none is accepted the first blank-delimited
// word is. What follows the program is split by SplitArguments.
TCommandLine SplitCommandLine(std::string_view CommandLine, const TProgramExists& ProgramExists);

// Splits argument text by the C runtime's rules: blanks and tabs separate
// arguments; double quotes group text that may hold blanks; inside quotes
// "" is one literal quote; 2n backslashes before a quote give n backslashes
// and the quote groups, 2n+1 give n backslashes and a literal quote;
// backslashes anywhere else are taken literally.
std::vector<std::string> SplitArguments(std::string_view Text);

}  // namespace kelvane
