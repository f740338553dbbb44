// JSON text to blobmsg and back, with the rules of the ubus command line:
// integers in 32-bit range become int32, larger ones int64, numbers with a
// fraction or exponent double, booleans int8; replies print with tab
// indentation (or compact), doubles as "%lf", type 7 as true/false.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "lib/ubus/blobmsg.h"

namespace ubus_call {

// The argument object of a call; nullopt when the text is not a JSON object.
std::optional<ubus::table> parse_args(std::string_view text);

// One reply body as a JSON object, without a trailing newline.
std::string format_table(const ubus::table& t, bool compact);

// One method table of a signature, as `list -v` shows it:
// "echo":{"text":"String"}
std::string format_signature_method(const ubus::member& method);

}  // namespace ubus_call
