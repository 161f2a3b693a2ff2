#include "Exceptions.h"

#include <cstring>

void AssertionFailure(const char *file, int line, const char *text)
{
    const char *slash = std::strrchr(file, '/');
    const std::string unit = slash ? slash + 1 : file;
    std::string message = "Assertion failure";
    if (text && *text) {
        message += ": ";
        message += text;
    }
    message += " (" + unit + ", line " + std::to_string(line) + ")";
    throw EAssertionFailed(message);
}
