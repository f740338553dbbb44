#include "lib/ubus/status.h"

namespace ubus::status {

std::string text(int code)
{
    static const char* const names[] = {
        "Success", "Invalid command", "Invalid argument", "Method not found",
        "Not found", "No response", "Permission denied", "Request timed out",
        "Operation not supported", "Unknown error", "Connection failed",
        "Out of memory", "Parsing message data failed", "System error",
    };
    if (code >= 0 && code <= system_error) return names[code];
    return "Unknown error: " + std::to_string(code);
}

}  // namespace ubus::status
