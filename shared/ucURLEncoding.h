#pragma once

// Url-encoded text as browsers and the configuration tool send it: request
// targets, query strings and form bodies ("a=1&b=2"). The service reads its
// login form with it, the reference authority the tool's certificate request.

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kelvane {

// Name/value pairs in the order they came; a name may occur more than once.
using TFormFields = std::vector<std::pair<std::string, std::string>>;

// Percent-encodes every byte but RFC 3986's unreserved characters (ASCII
// letters and digits, "-", ".", "_", "~"), as UTF-8 text in an address needs.
std::string EncodeURLComponent(std::string_view text);

// Decodes %XX escapes; with `plusIsBlank` also turns "+" into a blank. An
// escape that is not followed by two hexadecimal digits is kept as it stands.
std::string DecodeURLComponent(std::string_view text, bool plusIsBlank);

// Appends the name/value pairs of an url-encoded text ("a=1&b=2") to `fields`.
// Empty segments are skipped; a segment without "=" is a name with an empty value.
void ParseURLEncodedFields(std::string_view text, TFormFields& fields);

// The value of the first field whose name equals `name` ignoring ASCII case;
// empty when there is none.
std::string FirstFieldValue(const TFormFields& fields, std::string_view name);

}  // namespace kelvane
